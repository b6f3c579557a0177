#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

namespace velkor::basalt {

/// One item of an archive: an integer, a text or a byte string. Items handed out by an
/// `Unarchiver` hold views into the blob that was read, not copies: `text` and `bytes` stay valid
/// only as long as that blob does.
struct ArchiveItem {
    enum class Type { integer, text, bytes };

    Type type = Type::integer;
    /// The value of an integer item; 0 for the others.
    std::int64_t value = 0;
    /// The contents of a text item (UTF-8); empty for the others.
    std::string_view text;
    /// The contents of a bytes item; empty for the others.
    std::span<const std::uint8_t> bytes;

    static ArchiveItem ofInteger(std::int64_t v) { return {Type::integer, v, {}, {}}; }
    static ArchiveItem ofText(std::string_view t) { return {Type::text, 0, t, {}}; }
    static ArchiveItem ofBytes(std::span<const std::uint8_t> b) { return {Type::bytes, 0, {}, b}; }

    /// Same type and same value or contents; views compare by content, not by address.
    friend bool operator==(const ArchiveItem& a, const ArchiveItem& b) {
        return a.type == b.type && a.value == b.value && a.text == b.text &&
               std::ranges::equal(a.bytes, b.bytes);
    }
};

}  // namespace velkor::basalt
