#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "basalt/ArchiveItem.h"
#include "basalt/Unarchiver.h"

namespace velkor::basalt {

/// The entry point through which decoders read archives written by `ArchiveWriter`. Neither
/// operation throws; every failure is an empty result.
class BKUnarchiverWrapper {
  public:
    BKUnarchiverWrapper() = delete;

    /// A reader positioned at the first item of the archive held in `data`, or none when `data`
    /// is not such an archive (it does not start with the archive magic). The reader and the
    /// items it gives keep views into `data`, which must outlive them.
    static std::optional<Unarchiver> createWithData(std::span<const std::uint8_t> data) noexcept;

    /// The next item of the archive, or none when the archive is exhausted or the item cannot be
    /// decoded; once it has given none for a malformed item it gives none for good.
    static std::optional<ArchiveItem> decodeObject(Unarchiver& unarchiver) noexcept;
};

}  // namespace velkor::basalt
