// Feeds arbitrary bytes to what velkord reads from the fleet's etcd keys, which any machine of
// the fleet may have written: a key (its first byte gives the key's length) and a value, read as
// a file head and as a container. A key that parses must be the very key its parts name; a value
// that decodes must encode back to itself once its items are stored.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "fleet/FleetCodec.h"
#include "fleet/FleetKeys.h"
#include "velkor/VKError.h"

using namespace velkor;
using namespace velkor::daemon;
using namespace velkor::fleet;

using velkor::fuzz::check;
using velkor::fuzz::inside;

namespace {

/// The items of a decoded container as the store would hold them.
std::vector<StoredItem> itemsOf(const IncomingContainer& container) {
    std::vector<StoredItem> items;
    for (std::size_t i = 0; i < container.values.size(); ++i) {
        const auto& value = container.values[i];
        const bool inDictionary = container.kind == ValueKind::dictionary;
        items.push_back({.key = inDictionary ? std::string(container.keys[i]) : std::string(),
                         .slot = inDictionary ? 0 : static_cast<std::int64_t>(i),
                         .kind = isContainer(value.kind) ? ValueKind::containerProxy : value.kind,
                         .number = value.number,
                         .payload = std::string(value.text()),
                         .child = value.id});
    }
    return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t keyLength = std::min<std::size_t>(data[0], size - 1);
    const std::string_view key(reinterpret_cast<const char*>(data + 1), keyLength);
    const std::string value(reinterpret_cast<const char*>(data + 1 + keyLength),
                            size - 1 - keyLength);

    const FleetKeys keys("/velkor/");
    if (auto parsed = keys.parse(key)) {
        check(!parsed->domain.empty());
        check((parsed->container ? keys.container(parsed->domain, *parsed->container)
                                 : keys.head(parsed->domain)) == key);
    }

    try {
        const UUID root = FleetCodec::decodeHead(value);
        check(FleetCodec::encodeHead(root) == value);
    } catch (const VKError&) {
    }

    try {
        const auto tree = FleetCodec::decodeContainer(value);
        check(tree.containers.size() == 1);
        const auto& container = tree.containers.front();
        for (const auto& v : container.values) {
            check(!isContainer(v.kind));  // sub-containers are references
            check(inside(v.bytes,
                         {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()}));
        }
        const ContainerRecord record{container.id, UUID::zero(), container.kind,
                                     container.revision};
        const auto again = FleetCodec::encodeContainer(record, itemsOf(container));
        const auto reread = FleetCodec::decodeContainer(again);
        check(FleetCodec::encodeContainer(record, itemsOf(reread.containers.front())) == again);
    } catch (const VKError&) {
    }
    return 0;
}
