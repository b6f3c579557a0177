#include "core/TreeExporter.h"

#include <optional>
#include <span>
#include <unordered_set>

#include "basalt/QZLogger.h"
#include "core/BlobDecoder.h"
#include "core/BlobEncoder.h"
#include "core/LogThrottle.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.TreeExporter");

struct Frame {
    ValueKind kind;
    std::vector<StoredItem> items;
    std::size_t next = 0;
};

void encodeScalar(BlobEncoder& encoder, const StoredItem& item) {
    switch (item.kind) {
        case ValueKind::number:
            encoder.encodeNumber(item.number);
            break;
        case ValueKind::string:
            encoder.encodeString(item.payload);
            break;
        case ValueKind::data:
            encoder.encodeData(std::span(reinterpret_cast<const std::uint8_t*>(item.payload.data()),
                                         item.payload.size()));
            break;
        default:
            throw VKError(VKError::invalidFileData);
    }
}

}  // namespace

std::vector<std::uint8_t> TreeExporter::exportContainer(const ContainerRecord& top, bool recursive,
                                                        std::vector<UUID>& writtenInFull,
                                                        std::size_t maxBytes) {
    BlobEncoder encoder;
    std::vector<Frame> stack;
    std::unordered_set<UUID> written;
    // A whole file fetched recursively is read in two statements rather than two per container.
    std::optional<ContainerStore::FileContents> file;
    if (recursive && top.id == top.root)
        file = store_.fileContents(top.root);
    auto itemsOf = [&](const UUID& id) {
        if (!file)
            return store_.items(id);
        auto it = file->items.find(id);
        // Each container is written once: its items can be moved out.
        return it == file->items.end() ? std::vector<StoredItem>{} : std::move(it->second);
    };
    auto containerOf = [&](const UUID& id) -> std::optional<ContainerRecord> {
        if (!file)
            return store_.container(id);
        auto it = file->containers.find(id);
        return it == file->containers.end() ? std::nullopt : std::optional(it->second);
    };

    auto open = [&](const ContainerRecord& c) {
        auto items = itemsOf(c.id);
        encoder.encodeContainerHeader(c.kind, c.id, c.root, c.revision,
                                      static_cast<std::int64_t>(items.size()));
        written.insert(c.id);
        writtenInFull.push_back(c.id);
        stack.push_back(Frame{c.kind, std::move(items)});
    };

    open(top);
    auto checkSize = [&] {
        if (encoder.size() > maxBytes) {
            if (std::size_t held = 0;
                LogThrottle::shared().allow("file " + top.root.description(), held)) {
                log.error("The answer with container %@ passes %d bytes, more than may be sent.%@",
                          top.id, maxBytes, LogThrottle::heldNote(held));
            }
            throw VKError(VKError::invalidFileData);
        }
    };
    while (!stack.empty()) {
        checkSize();
        auto& frame = stack.back();
        if (frame.next == frame.items.size()) {
            stack.pop_back();
            continue;
        }
        const auto index = frame.next++;
        const auto& item = frame.items[index];
        if (frame.kind == ValueKind::dictionary) {
            encoder.encodeKey(item.key);
        } else if (item.slot != static_cast<std::int64_t>(index) || !item.key.empty()) {
            throw VKError(VKError::invalidFileData);
        }
        if (item.kind != ValueKind::containerProxy) {
            encodeScalar(encoder, item);
            continue;
        }
        const UUID child = item.child;
        // Past the nesting a blob may hold (two changes can make a file deeper than that), the
        // containers go as proxies, which the client fetches on their own.
        if (!recursive || written.contains(child) ||
            stack.size() >= static_cast<std::size_t>(BlobDecoder::maxNesting)) {
            encoder.encodeProxy(child);
            continue;
        }
        const auto record = containerOf(child);
        if (!record || record->root != top.root) {
            throw VKError(VKError::invalidFileData);
        }
        open(*record);
    }
    checkSize();
    return encoder.take();
}

std::vector<std::uint8_t> TreeExporter::exportScalar(const StoredItem& item) {
    BlobEncoder encoder;
    encodeScalar(encoder, item);
    return encoder.take();
}

}  // namespace velkor::daemon
