#include "Base64.h"

#include <array>
#include <stdexcept>

namespace velkor::cli {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of each character, or -1 for characters outside the alphabet.
constexpr std::array<int, 256> kValues = [] {
    std::array<int, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kAlphabet[i])] = i;
    return values;
}();

}  // namespace

std::string Base64::encode(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            text.push_back(kAlphabet[(group >> shift) & 0x3F]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = bytes[i] << 16;
        if (rest == 2)
            group |= bytes[i + 1] << 8;
        text.push_back(kAlphabet[(group >> 18) & 0x3F]);
        text.push_back(kAlphabet[(group >> 12) & 0x3F]);
        text.push_back(rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
        text.push_back('=');
    }
    return text;
}

std::vector<std::uint8_t> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        throw std::invalid_argument("base64 text of " + std::to_string(text.size()) +
                                    " characters (not a multiple of 4)");
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool isPadding = i >= text.size() - padding;
        const int value = isPadding ? 0 : kValues[static_cast<unsigned char>(text[i])];
        if (value < 0) {
            const std::string what =
                text[i] == '=' ? "padding '=' before the end" : "a character outside base64";
            throw std::invalid_argument(what + " at offset " + std::to_string(i));
        }
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (i % 4 == 3) {
            bytes.push_back(static_cast<std::uint8_t>(group >> 16));
            bytes.push_back(static_cast<std::uint8_t>(group >> 8));
            bytes.push_back(static_cast<std::uint8_t>(group));
            group = 0;
        }
    }
    // The bits of the last character that no byte uses must be zero: only the canonical text
    // of some bytes is accepted, so that every byte string has one form.
    if (padding > 0) {
        const int last = kValues[static_cast<unsigned char>(text[text.size() - padding - 1])];
        if (last & (padding == 1 ? 0x03 : 0x0F)) {
            throw std::invalid_argument("unused bits set in the character at offset " +
                                        std::to_string(text.size() - padding - 1));
        }
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace velkor::cli
