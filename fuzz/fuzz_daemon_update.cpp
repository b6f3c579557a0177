// Feeds arbitrary bytes to the daemon's blob decoder, then reads them as a stream of change
// records applied to a small settings file, and checks after every record that the store still
// answers a recursive fetch and that every decoded tree stays inside its blob.
//
// Record layout, repeated until the input ends: type (raw value, taken modulo 14 so that 0 and
// 13 occur), target (root, dictionary, array, nested dictionary, unknown id), revision (low four
// bits; the top bit makes it -1), from and to (signed bytes), caller (owner, other client of the
// owner, other user), key length (up to 8) and key, data length (two bytes, little endian) and
// data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "basalt/ArchiveWriter.h"
#include "core/BlobDecoder.h"
#include "core/SettingsStore.h"
#include "velkor/Log.h"
#include "velkor/VKError.h"

using namespace velkor;
using namespace velkor::daemon;

using velkor::fuzz::check;
using velkor::fuzz::Input;
using velkor::fuzz::inside;

namespace {

const UUID rootId = *UUID::parse("00000000-0000-4000-8000-000000000001");
const UUID dictId = *UUID::parse("00000000-0000-4000-8000-000000000002");
const UUID arrayId = *UUID::parse("00000000-0000-4000-8000-000000000003");
const UUID nestedId = *UUID::parse("00000000-0000-4000-8000-000000000004");
const UUID unknownId = *UUID::parse("00000000-0000-4000-8000-000000000005");

const Caller callers[] = {{":1.1", 1000}, {":1.2", 1000}, {":1.3", 1001}};

// root {a: 1, s: "x", sub: {k: 1, arr: [1, 2, {}]}, list: ref arr}
std::vector<std::uint8_t> initialTree() {
    basalt::ArchiveWriter w;
    auto header = [&](ValueKind kind, const UUID& id, std::int64_t count) {
        w.encodeInteger(static_cast<std::int64_t>(kind)).encodeBytes(id.bytes());
        w.encodeInteger(0).encodeInteger(0).encodeInteger(count);
    };
    header(ValueKind::dictionary, rootId, 4);
    w.encodeText("a").encodeInteger(0).encodeInteger(1);
    w.encodeText("s").encodeInteger(1).encodeText("x");
    w.encodeText("sub");
    header(ValueKind::dictionary, dictId, 2);
    w.encodeText("k").encodeInteger(0).encodeInteger(1);
    w.encodeText("arr");
    header(ValueKind::array, arrayId, 3);
    w.encodeInteger(0).encodeInteger(1).encodeInteger(0).encodeInteger(2);
    header(ValueKind::dictionary, nestedId, 0);
    w.encodeText("list").encodeInteger(5).encodeBytes(arrayId.bytes());
    return w.takeArchiverData();
}

void decodeWhole(std::span<const std::uint8_t> blob) {
    for (auto references :
         {BlobDecoder::References::sameBlobOnly, BlobDecoder::References::allowOutside}) {
        try {
            const auto tree = BlobDecoder::decode(blob, references);
            for (const auto& c : tree.containers) {
                check(c.kind == ValueKind::array || c.kind == ValueKind::dictionary);
                check(c.kind == ValueKind::array ? c.keys.empty()
                                                 : c.keys.size() == c.values.size());
                for (const auto& v : c.values)
                    check(inside(v.bytes, blob));
            }
        } catch (const VKError& e) {
            check(e == VKError::invalidData || e == VKError::circularReferences);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool quiet = (setLogSink(nullptr, LogLevel::off), true);
    const std::span<const std::uint8_t> input(data, size);
    decodeWhole(input);

    SettingsStore store(":memory:");
    const auto created =
        store.handle(callers[0], ClientRequest::CreateSettings{Blob(initialTree()), "fuzz", 1000});
    check(created.answer.get<ServerResponse::RequestSucceeded>() != nullptr);
    // A second client holds everything, so that changes produce records.
    store.handle(callers[1], ClientRequest::FetchSettings{"fuzz", 1000, "", true});

    const UUID targets[] = {rootId, dictId, arrayId, nestedId, unknownId};
    Input in(input);
    while (!in.empty()) {
        const auto type = changeTypeFromRawValue(in.byte() % 14);
        const auto& target = targets[in.byte() % 5];
        const auto revisionByte = in.byte();
        const std::int64_t revision = revisionByte & 0x80 ? -1 : revisionByte & 0x0F;
        const auto from = static_cast<std::int8_t>(in.byte());
        const auto to = static_cast<std::int8_t>(in.byte());
        const auto& caller = callers[in.byte() % 3];
        const auto keyBytes = in.take(in.byte() % 9);
        // The low byte first: the order in which | evaluates its operands is unspecified.
        const std::size_t lowByte = in.byte();
        const std::size_t dataLength = lowByte | (std::size_t{in.byte()} << 8);
        const auto dataBytes = in.take(dataLength);
        if (!type)
            continue;
        auto record = std::make_shared<VKChangeNotification>(
            *type, target, revision, from, to, std::string(keyBytes.begin(), keyBytes.end()),
            std::vector<std::uint8_t>(dataBytes.begin(), dataBytes.end()));
        const auto outcome = store.handle(caller, ClientRequest::UpdateSettings{record});
        check(outcome.answer.get<ServerResponse::SettingsUpdated>() != nullptr ||
              outcome.answer.get<ServerResponse::RequestHasFailed>() != nullptr);
        for (const auto& notice : outcome.notices)
            check(notice.changes.changeNotifications.size() == notice.changes.changePaths.size());
        const auto fetched =
            store.handle(callers[0], ClientRequest::FetchSettings{"fuzz", 1000, "", true});
        check(fetched.answer.get<ServerResponse::SettingsFetched>() != nullptr);
    }
    return 0;
}
