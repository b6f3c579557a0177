#include <functional>

#include "DaemonTesting.h"
#include "core/BlobDecoder.h"
#include "support/ErrorOf.h"

using namespace velkor;
using namespace velkor::test;
using daemon::BlobDecoder;

namespace {

using Writer = basalt::ArchiveWriter;

std::vector<std::uint8_t> blobOf(const std::function<void(Writer&)>& items) {
    Writer w;
    items(w);
    return w.takeArchiverData();
}

std::optional<VKError> refusal(
    const std::vector<std::uint8_t>& blob,
    BlobDecoder::References references = BlobDecoder::References::allowOutside) {
    return thrownBy<VKError>([&] { BlobDecoder::decode(blob, references); });
}

// A dictionary's header, `count` entries to follow.
Writer& header(Writer& w, const UUID& id, std::int64_t revision, std::int64_t flag,
               std::int64_t count) {
    w.encodeInteger(static_cast<std::int64_t>(ValueKind::dictionary)).encodeBytes(id.bytes());
    return w.encodeInteger(revision).encodeInteger(flag).encodeInteger(count);
}

}  // namespace

TEST(BlobDecoderTest, RefusesMalformedNestedAndOversizeBlobs) {
    const UUID id = newId(), outside = newId();
    const auto good = clientBlob(dict(id, {{"k", num(1)}, {"o", ref(outside)}}));
    EXPECT_EQ(BlobDecoder::decode(good, BlobDecoder::References::allowOutside).outsideReferences,
              std::vector<UUID>{outside});
    EXPECT_EQ(refusal(good, BlobDecoder::References::sameBlobOnly), VKError::invalidData);

    std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases{
        {"no magic", {0x00, 0x01, 0x02}},
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 1)},
        {"unknown kind", blobOf([](Writer& w) { w.encodeInteger(6).encodeInteger(1); })},
        {"kind as text", blobOf([](Writer& w) { w.encodeText("0").encodeInteger(1); })},
        {"trailing item",
         blobOf([](Writer& w) { w.encodeInteger(0).encodeInteger(1).encodeInteger(0); })},
        {"short id",
         blobOf([](Writer& w) { w.encodeInteger(5).encodeBytes(std::vector<std::uint8_t>(15)); })},
        {"zero id", clientBlob(dict(UUID::zero(), {}))},
        {"negative revision", clientBlob(dict(id, {}, -1))},
        {"flag 2", blobOf([&](Writer& w) { header(w, id, 0, 2, 0); })},
        {"negative count", blobOf([&](Writer& w) { header(w, id, 0, 0, -1); })},
        {"count past the end", blobOf([&](Writer& w) { header(w, id, 0, 0, 1ll << 40); })},
        // Two spellings of one key.
        {"repeated key", clientBlob(dict(id, {{"\u00e9", num(1)}, {"e\u0301", num(2)}}))},
        {"written twice", clientBlob(arr(newId(), {dict(id, {}), dict(id, {})}))},
        {"written after a reference", clientBlob(arr(newId(), {ref(id), dict(id, {})}))},
        {"nested too deep", clientBlob(nested(BlobDecoder::maxNesting + 1))},
        // The archive adds the magic, the kind and a length head to the payload.
        {"too large", clientBlob(dat(std::string(BlobDecoder::maxBlobSize, 'x')))},
    };
    for (const auto& [name, blob] : cases)
        EXPECT_EQ(refusal(blob), VKError::invalidData) << name;
    EXPECT_EQ(refusal(clientBlob(nested(BlobDecoder::maxNesting))), std::nullopt);
    EXPECT_EQ(refusal(clientBlob(dat(std::string(BlobDecoder::maxBlobSize - 20, 'x')))),
              std::nullopt);
}
