#include "bus/MessageFraming.h"

#include <gtest/gtest.h>

#include <string>

using velkor::daemon::MessageFraming;

namespace {

const std::string kAuth = std::string(1, '\0') + "AUTH ANONYMOUS 6c6962\r\nBEGIN\r\n";

/// The fixed header of a message with `fields` bytes of header fields and `body` bytes of body.
std::string header(std::uint32_t fields, std::uint32_t body, bool little = true) {
    std::string h = {little ? 'l' : 'B', 1, 0, 1};
    for (std::uint32_t word : {body, 7u, fields}) {
        for (int i = 0; i < 4; ++i)
            h += static_cast<char>(word >> (little ? 8 * i : 24 - 8 * i));
    }
    return h;
}

/// A message as the wire has it: the fixed header, the header fields padded to a multiple of 8,
/// and the body.
std::string message(std::uint32_t fields, std::uint32_t body, bool little = true) {
    std::string m = header(fields, body, little);
    m.append((fields + 7) / 8 * 8, 'f');
    m.append(body, 'b');
    return m;
}

std::optional<std::string> follow(MessageFraming& framing, const std::string& bytes) {
    return framing.follow(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(MessageFramingTest, CountsWholeMessagesHoweverTheBytesAreSplit) {
    const std::string stream =
        kAuth + message(5, 0) + message(8, 100) + message(13, 3, false) + message(9, 40);
    const std::string unfinished = message(20, 1000).substr(0, 600);
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(64), stream.size()}) {
        MessageFraming framing(4096);
        const std::string all = stream + unfinished;
        for (std::size_t at = 0; at < all.size(); at += piece)
            ASSERT_EQ(follow(framing, all.substr(at, piece)), std::nullopt) << piece;
        EXPECT_EQ(framing.messages(), 4u) << piece;
        EXPECT_EQ(framing.incomplete(), 600u) << piece;
    }
}

TEST(MessageFramingTest, RefusesOversizeAndForeignFramingAtTheHeader) {
    // 16 + 8 + 4072 = 4096 bytes pass; 4097 are one too many, which the header alone shows.
    MessageFraming largest(4096);
    EXPECT_EQ(follow(largest, kAuth + header(8, 4072)), std::nullopt);
    std::string version2 = message(8, 8);
    version2[3] = 2;
    // Refused: one byte over; a declared length that overflows 32 bits when added up; not a
    // D-Bus header (no endianness mark); another protocol version.
    for (const std::string& refused : {header(8, 4073), header(0xfffffff0u, 0xfffffff0u),
                                       std::string("GET / HTTP/1.1\r\n"), version2}) {
        MessageFraming framing(4096);
        EXPECT_NE(follow(framing, kAuth + refused), std::nullopt)
            << ::testing::PrintToString(refused);
    }
    // Endless authentication lines, and once refused, nothing more passes.
    MessageFraming chatty(4096);
    std::optional<std::string> why;
    for (int i = 0; i < 4000 && !why; ++i)
        why = follow(chatty, "AUTH\r\n");
    EXPECT_NE(why, std::nullopt);
    EXPECT_NE(follow(chatty, "BEGIN\r\n"), std::nullopt);
}
