#include "core/BlobEncoder.h"

#include "internals/BlobLayout.h"

namespace velkor::daemon {

void BlobEncoder::encodeNumber(std::int64_t value) {
    blob::writeNumber(writer_, value);
}

void BlobEncoder::encodeString(std::string_view text) {
    blob::writeString(writer_, text);
}

void BlobEncoder::encodeData(std::span<const std::uint8_t> bytes) {
    blob::writeData(writer_, bytes);
}

void BlobEncoder::encodeProxy(const UUID& id) {
    blob::writeReference(writer_, id);
}

void BlobEncoder::encodeContainerHeader(ValueKind kind, const UUID& id, const UUID& rootId,
                                        std::int64_t revision, std::int64_t count) {
    blob::writeContainer(writer_, kind, blob::DaemonHeader{id, rootId, revision, count});
}

void BlobEncoder::encodeKey(std::string_view key) {
    writer_.encodeText(key);
}

void BlobEncoder::encodeIncoming(const IncomingTree& tree, const IncomingValue& value,
                                 const UUID& rootId) {
    switch (value.kind) {
        case ValueKind::number:
            encodeNumber(value.number);
            break;
        case ValueKind::string:
            encodeString(value.text());
            break;
        case ValueKind::data:
            encodeData(value.bytes);
            break;
        case ValueKind::containerProxy:
            encodeProxy(value.id);
            break;
        case ValueKind::array:
        case ValueKind::dictionary: {
            // The decoder bounds the nesting, so this recursion is bounded too.
            const auto& c = tree.containers[static_cast<std::size_t>(value.number)];
            encodeContainerHeader(c.kind, c.id, rootId, c.revision,
                                  static_cast<std::int64_t>(c.values.size()));
            for (std::size_t i = 0; i < c.values.size(); ++i) {
                if (c.kind == ValueKind::dictionary) {
                    encodeKey(c.keys[i]);
                }
                encodeIncoming(tree, c.values[i], rootId);
            }
            break;
        }
    }
}

}  // namespace velkor::daemon
