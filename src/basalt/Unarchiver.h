#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "basalt/ArchiveItem.h"

namespace velkor::basalt {

/// Reads a sequential archive (the layout is described in "basalt/ArchiveFormat.h") item by item:
/// the library's sequential unarchiver. It is read through `BKUnarchiverWrapper`.
///
/// The reader keeps a view of the caller's blob and hands out items whose text and bytes are
/// views into it, so the blob must outlive the reader and every item taken from it. Reading
/// never allocates, never throws and never touches a byte outside the blob.
///
/// Text items are checked to be well-formed UTF-8 (no overlong forms, surrogates or code points
/// above U+10FFFF); byte strings are handed out without looking at their contents.
class Unarchiver {
  public:
    /// A reader positioned at the first item of `data`, or none when `data` does not start with
    /// the archive magic.
    static std::optional<Unarchiver> forReadingWithData(
        std::span<const std::uint8_t> data) noexcept;

    /// The next item, or none when the archive is exhausted or the next item is not one this
    /// format holds: another CBOR major type, a tag, a float or simple value, an indefinite
    /// length, an integer outside the signed 64-bit range, text that is not UTF-8, a head or
    /// payload cut short by the end of the blob. After a malformed item the reader stays failed:
    /// every later call gives none, even if readable bytes follow.
    std::optional<ArchiveItem> decodeObject() noexcept;

    /// True when every byte after the magic has been read as items.
    bool atEnd() const noexcept { return !failed_ && next_ == end_; }

    /// How many bytes are left to read (0 once failed). Every item takes at least one byte, so
    /// this bounds how many items can still follow.
    std::size_t remainingBytes() const noexcept {
        return failed_ ? 0 : static_cast<std::size_t>(end_ - next_);
    }
    /// True once an item could not be read.
    bool failed() const noexcept { return failed_; }

  private:
    Unarchiver(const std::uint8_t* next, const std::uint8_t* end) noexcept
        : next_(next), end_(end) {}

    std::optional<ArchiveItem> fail() noexcept;

    const std::uint8_t* next_;
    const std::uint8_t* end_;
    bool failed_ = false;
};

}  // namespace velkor::basalt
