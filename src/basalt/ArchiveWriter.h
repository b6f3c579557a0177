#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velkor::basalt {

/// Writes a sequential archive (the layout is described in "basalt/ArchiveFormat.h") into a
/// growable byte buffer: the library's sequential archiver. Each encode call appends one item;
/// appends are amortised and byte strings are copied in one block. Encoding cannot fail short of
/// running out of memory.
///
/// A writer builds one blob at a time and is not safe for concurrent use.
class ArchiveWriter {
  public:
    /// A new archive that holds only the magic.
    ArchiveWriter();

    /// Appends an integer item. Every 64-bit value, INT64_MIN and INT64_MAX included, reads back
    /// unchanged.
    ArchiveWriter& encodeInteger(std::int64_t value);

    /// Appends a text item. `text` is expected to be UTF-8: a reader refuses a text item that is
    /// not, so invalid text written here makes the blob unreadable from that item on.
    ArchiveWriter& encodeText(std::string_view text);

    /// Appends a bytes item.
    ArchiveWriter& encodeBytes(std::span<const std::uint8_t> bytes);

    /// The blob built so far: the magic followed by every item appended.
    const std::vector<std::uint8_t>& archiverData() const { return buffer_; }

    /// Hands over the blob built so far without copying it. The writer then starts a new archive
    /// that holds only the magic, so it stays usable.
    std::vector<std::uint8_t> takeArchiverData();

  private:
    template <typename EncodeHead, typename Argument>
    void appendHead(EncodeHead encode, Argument argument);

    std::vector<std::uint8_t> buffer_;
};

}  // namespace velkor::basalt
