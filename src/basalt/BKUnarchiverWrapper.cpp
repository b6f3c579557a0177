#include "basalt/BKUnarchiverWrapper.h"

namespace velkor::basalt {

std::optional<Unarchiver> BKUnarchiverWrapper::createWithData(
    std::span<const std::uint8_t> data) noexcept {
    return Unarchiver::forReadingWithData(data);
}

std::optional<ArchiveItem> BKUnarchiverWrapper::decodeObject(Unarchiver& unarchiver) noexcept {
    return unarchiver.decodeObject();
}

}  // namespace velkor::basalt
