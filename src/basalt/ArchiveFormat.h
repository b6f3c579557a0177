#pragma once

#include <array>
#include <cstdint>

namespace velkor::basalt {

/// Every data blob is a CBOR sequence (RFC 8742): the sequence magic of RFC 9277 first, then the
/// items one after another with no framing around them. Items are unsigned and negative integers
/// in the signed 64-bit range, UTF-8 text strings and byte strings, all of definite length and
/// written in the shortest head. Any CBOR tool that reads sequences reads our blobs.
///
/// The magic is tag 55800 over the byte string "BOR".
inline constexpr std::array<std::uint8_t, 7> archiveMagic{0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52};

}  // namespace velkor::basalt
