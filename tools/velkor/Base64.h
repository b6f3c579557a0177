#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::cli {

/// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4), the form byte
/// strings take in the tool's JSON.
class Base64 {
  public:
    Base64() = delete;

    static std::string encode(const std::vector<std::uint8_t>& bytes);

    /// Decodes padded base64 in its canonical form, the one encode() writes. Throws
    /// std::invalid_argument, naming the offset, for a length that is not a multiple of 4, a
    /// character outside the alphabet (whitespace included), padding anywhere but in the last two
    /// places, and bits set that no byte uses ("Zh==" for "Zg==").
    static std::vector<std::uint8_t> decode(std::string_view text);
};

}  // namespace velkor::cli
