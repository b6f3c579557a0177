#include "values/DeserializerBase.h"

#include "basalt/BKUnarchiverWrapper.h"

namespace velkor {

using basalt::ArchiveItem;
using basalt::BKUnarchiverWrapper;

std::optional<DeserializerBase> DeserializerBase::make(Blob blob) {
    auto unarchiver = BKUnarchiverWrapper::createWithData(blob.bytes());
    if (!unarchiver)
        return std::nullopt;
    return DeserializerBase(std::move(blob), *unarchiver);
}

std::optional<std::int64_t> DeserializerBase::decodeInteger() {
    auto item = BKUnarchiverWrapper::decodeObject(unarchiver_);
    if (!item || item->type != ArchiveItem::Type::integer)
        return std::nullopt;
    return item->value;
}

std::optional<VKObjectBase::Kind> DeserializerBase::decodeKind() {
    auto v = decodeInteger();
    if (!v)
        return std::nullopt;
    return VKObjectBase::kindFromRawValue(*v);
}

std::optional<UUID> DeserializerBase::decodeUuid() {
    auto item = BKUnarchiverWrapper::decodeObject(unarchiver_);
    if (!item || item->type != ArchiveItem::Type::bytes)
        return std::nullopt;
    return UUID::fromBytes(item->bytes);
}

std::optional<std::int64_t> DeserializerBase::decodeCount() {
    auto v = decodeInteger();
    if (!v || *v < 0)
        return std::nullopt;
    return v;
}

std::optional<std::string> DeserializerBase::decodeString() {
    auto item = BKUnarchiverWrapper::decodeObject(unarchiver_);
    if (!item || item->type != ArchiveItem::Type::text)
        return std::nullopt;
    return std::string(item->text);
}

std::optional<std::vector<std::uint8_t>> DeserializerBase::decodeData() {
    auto item = BKUnarchiverWrapper::decodeObject(unarchiver_);
    if (!item || item->type != ArchiveItem::Type::bytes)
        return std::nullopt;
    return std::vector<std::uint8_t>(item->bytes.begin(), item->bytes.end());
}

}  // namespace velkor
