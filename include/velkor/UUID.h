#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velkor {

/// A 128-bit universally unique identifier. Containers, settings roots and request tags are
/// identified by UUIDs; the all-zero UUID stands for "no id".
class UUID {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The all-zero UUID.
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    /// A fresh random (version 4) UUID drawn from the kernel's random source.
    static UUID random();

    /// The all-zero UUID.
    static constexpr UUID zero() { return UUID(); }

    /// Parses the hyphenated 8-4-4-4-12 text form, in either case. Gives no value for anything
    /// else.
    static std::optional<UUID> parse(std::string_view text);

    /// Takes exactly 16 bytes, in the order of the text form. Gives no value for any other length.
    static std::optional<UUID> fromBytes(std::span<const std::uint8_t> bytes);

    bool isZero() const;
    const Bytes& bytes() const { return bytes_; }

    /// The upper-case hyphenated text form, e.g. "0F2C6A1E-....".
    std::string description() const;

    friend constexpr bool operator==(const UUID&, const UUID&) = default;
    friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

  private:
    Bytes bytes_{};
};

}  // namespace velkor

template <>
struct std::hash<velkor::UUID> {
    std::size_t operator()(const velkor::UUID& id) const noexcept {
        // The bytes are random (version 4) or daemon-assigned; mixing two words is enough.
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        for (int i = 0; i < 8; ++i) {
            a = (a << 8) | id.bytes()[i];
            b = (b << 8) | id.bytes()[i + 8];
        }
        return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
    }
};
