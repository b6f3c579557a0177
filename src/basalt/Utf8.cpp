#include "basalt/Utf8.h"

#include <cstdint>
#include <cstring>

namespace velkor::basalt {

// Runs of ASCII are skipped eight bytes at a time.
bool isUtf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = p + text.size();
    while (p != end) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if (word & 0x8080808080808080u) {
                break;
            }
            p += 8;
        }
        if (p == end) {
            break;
        }
        const std::uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The sequence's length, the payload bits of its lead byte, and the smallest code point
        // that needs this many bytes (anything below is an overlong form).
        struct Sequence {
            std::ptrdiff_t length;
            std::uint32_t codePoint;
            std::uint32_t smallest;
        } s;
        if (lead >= 0xC2 && lead <= 0xDF) {
            s = {2, lead & 0x1Fu, 0x80};
        } else if ((lead & 0xF0) == 0xE0) {
            s = {3, lead & 0x0Fu, 0x800};
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            s = {4, lead & 0x07u, 0x10000};
        } else {
            return false;
        }
        if (end - p < s.length) {
            return false;
        }
        for (std::ptrdiff_t i = 1; i < s.length; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            s.codePoint = (s.codePoint << 6) | (p[i] & 0x3Fu);
        }
        if (s.codePoint < s.smallest || s.codePoint > 0x10FFFF ||
            (s.codePoint >= 0xD800 && s.codePoint <= 0xDFFF)) {
            return false;
        }
        p += s.length;
    }
    return true;
}

}  // namespace velkor::basalt
