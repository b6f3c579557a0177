#include "fleet/FleetCodec.h"

#include <span>

#include "basalt/ArchiveWriter.h"
#include "core/BlobDecoder.h"
#include "internals/BlobLayout.h"
#include "velkor/VKError.h"

namespace velkor::fleet {

using daemon::ValueKind;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string FleetCodec::encodeContainer(const daemon::ContainerRecord& container,
                                        const std::vector<daemon::StoredItem>& items) {
    basalt::ArchiveWriter writer;
    blob::writeContainer(writer, container.kind,
                         blob::ClientHeader{container.id, container.revision, false,
                                            static_cast<std::int64_t>(items.size())});
    for (const auto& item : items) {
        if (container.kind == ValueKind::dictionary)
            writer.encodeText(item.key);
        switch (item.kind) {
            case ValueKind::number:
                blob::writeNumber(writer, item.number);
                break;
            case ValueKind::string:
                blob::writeString(writer, item.payload);
                break;
            case ValueKind::data:
                blob::writeData(writer, bytesOf(item.payload));
                break;
            case ValueKind::containerProxy:
                blob::writeReference(writer, item.child);
                break;
            default:
                throw VKError(VKError::invalidFileData);
        }
    }
    const auto& data = writer.archiverData();
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

daemon::IncomingTree FleetCodec::decodeContainer(std::string_view value) {
    auto tree = daemon::BlobDecoder::decode(bytesOf(value),
                                            daemon::BlobDecoder::References::allowOutside, 1);
    if (tree.containers.size() != 1 || !daemon::isContainer(tree.top.kind))
        throw VKError(VKError::invalidData);
    return tree;
}

std::string FleetCodec::encodeHead(const UUID& root) {
    const auto& bytes = root.bytes();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

UUID FleetCodec::decodeHead(std::string_view value) {
    auto root = UUID::fromBytes(bytesOf(value));
    if (!root || *root == UUID::zero())
        throw VKError(VKError::invalidData);
    return *root;
}

}  // namespace velkor::fleet
