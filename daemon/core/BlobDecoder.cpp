#include "core/BlobDecoder.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "basalt/ArchiveWriter.h"
#include "basalt/BKUnarchiverWrapper.h"
#include "internals/BlobLayout.h"
#include "internals/CanonicalText.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

using basalt::ArchiveItem;

[[noreturn]] void invalid() {
    throw VKError(VKError::invalidData);
}

class Reader {
  public:
    Reader(std::span<const std::uint8_t> blob, BlobDecoder::References references,
           basalt::Unarchiver unarchiver, std::size_t maxContainers)
        : blob_(blob),
          references_(references),
          unarchiver_(unarchiver),
          maxContainers_(maxContainers) {}

    IncomingTree read() {
        tree_.top = value(1);
        if (!unarchiver_.atEnd()) {
            invalid();
        }
        return std::move(tree_);
    }

  private:
    ArchiveItem next(ArchiveItem::Type type) {
        auto item = basalt::BKUnarchiverWrapper::decodeObject(unarchiver_);
        if (!item || item->type != type) {
            invalid();
        }
        return *item;
    }

    std::int64_t integer() { return next(ArchiveItem::Type::integer).value; }

    UUID uuid() {
        auto id = UUID::fromBytes(next(ArchiveItem::Type::bytes).bytes);
        if (!id || id->isZero()) {
            invalid();
        }
        return *id;
    }

    IncomingValue value(int depth) {
        IncomingValue v;
        const auto kind = integer();
        switch (kind) {
            case static_cast<std::int64_t>(ValueKind::number):
                v.kind = ValueKind::number;
                v.number = integer();
                return v;
            case static_cast<std::int64_t>(ValueKind::string): {
                const auto text = next(ArchiveItem::Type::text).text;
                v.kind = ValueKind::string;
                v.bytes = {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
                return v;
            }
            case static_cast<std::int64_t>(ValueKind::data):
                v.kind = ValueKind::data;
                v.bytes = next(ArchiveItem::Type::bytes).bytes;
                return v;
            case static_cast<std::int64_t>(ValueKind::array):
            case static_cast<std::int64_t>(ValueKind::dictionary):
                return container(static_cast<ValueKind>(kind), depth);
            case static_cast<std::int64_t>(ValueKind::containerProxy):
                return reference();
            default:
                invalid();
        }
    }

    IncomingValue reference() {
        IncomingValue v{.kind = ValueKind::containerProxy, .id = uuid()};
        if (written_.contains(v.id)) {
            if (open_.contains(v.id)) {
                throw VKError(VKError::circularReferences);
            }
            return v;
        }
        if (references_ == BlobDecoder::References::sameBlobOnly) {
            invalid();
        }
        if (outside_.insert(v.id).second) {
            tree_.outsideReferences.push_back(v.id);
        }
        return v;
    }

    IncomingValue container(ValueKind kind, int depth) {
        if (depth > BlobDecoder::maxNesting || tree_.containers.size() >= maxContainers_) {
            invalid();
        }
        // The header, in the layout both ends share; a flag other than 0 or 1 is refused.
        struct In {
            Reader& r;
            bool uuid(UUID& id) {
                id = r.uuid();
                return true;
            }
            bool integer(std::int64_t& value) {
                value = r.integer();
                return true;
            }
            bool flag(bool& value) {
                const auto raw = r.integer();
                if (raw != 0 && raw != 1) {
                    invalid();
                }
                value = raw == 1;
                return true;
            }
            bool count(std::int64_t& value) { return integer(value); }
        } in{*this};
        blob::ClientHeader header;
        blob::fields(header, in);
        IncomingContainer c{.id = header.id, .kind = kind};
        if (written_.contains(c.id) || outside_.contains(c.id)) {
            invalid();
        }
        c.revision = header.revision;
        const auto count = header.count;
        // Every value takes at least two bytes, so no larger count can be honest.
        if (c.revision < 0 || count < 0 || static_cast<std::uint64_t>(count) > blob_.size() / 2) {
            invalid();
        }
        c.subscribed = header.subscribed;

        const auto index = tree_.containers.size();
        tree_.containers.push_back(std::move(c));
        written_.emplace(tree_.containers[index].id, index);
        open_.insert(tree_.containers[index].id);

        // Canonically equivalent keys are one key: a dictionary may hold each once.
        std::unordered_set<std::string> keys;
        for (std::int64_t i = 0; i < count; ++i) {
            if (kind == ValueKind::dictionary) {
                const auto key = next(ArchiveItem::Type::text).text;
                if (!keys.insert(canonicalText(key)).second) {
                    invalid();
                }
                tree_.containers[index].keys.push_back(key);
            }
            // Read into a local first: reading may grow `containers` and move this entry.
            auto item = value(depth + 1);
            tree_.containers[index].values.push_back(item);
        }
        open_.erase(tree_.containers[index].id);
        return IncomingValue{.kind = kind,
                             .number = static_cast<std::int64_t>(index),
                             .id = tree_.containers[index].id};
    }

    std::span<const std::uint8_t> blob_;
    BlobDecoder::References references_;
    basalt::Unarchiver unarchiver_;
    std::size_t maxContainers_;
    IncomingTree tree_;
    std::unordered_map<UUID, std::size_t> written_;
    std::unordered_set<UUID> open_;
    std::unordered_set<UUID> outside_;
};

}  // namespace

IncomingTree BlobDecoder::decode(std::span<const std::uint8_t> blob, References references,
                                 std::size_t maxContainers) {
    if (blob.size() > maxBlobSize) {
        invalid();
    }
    auto unarchiver = basalt::BKUnarchiverWrapper::createWithData(blob);
    if (!unarchiver) {
        invalid();
    }
    return Reader(blob, references, *unarchiver, maxContainers).read();
}

bool BlobDecoder::isText(std::string_view text) {
    basalt::ArchiveWriter writer;
    writer.encodeText(text);
    auto reader = basalt::BKUnarchiverWrapper::createWithData(writer.archiverData());
    return reader && basalt::BKUnarchiverWrapper::decodeObject(*reader).has_value();
}

}  // namespace velkor::daemon
