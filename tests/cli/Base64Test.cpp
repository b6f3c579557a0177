#include <gtest/gtest.h>

#include <stdexcept>

#include "Base64.h"

using velkor::cli::Base64;

namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Base64Test, EncodesAndDecodesTheStandardVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Base64::encode(bytes(plain)), encoded);
        EXPECT_EQ(Base64::decode(encoded), bytes(plain)) << encoded;
    }
}

TEST(Base64Test, EveryByteValueRoundTripsAtEveryAlignment) {
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(255 - i));
    for (std::size_t length = 254; length <= 256; ++length) {
        std::vector<std::uint8_t> part(all.begin(), all.begin() + length);
        const auto text = Base64::encode(part);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(Base64::decode(text), part);
    }
    EXPECT_EQ(Base64::encode({0xFB, 0xFF}), "+/8=");
}

TEST(Base64Test, MalformedTextIsRefusedNamingTheOffset) {
    const std::pair<const char*, const char*> cases[] = {
        {"Zg=", "3 characters"},
        {"Zm9v\n", "5 characters"},
        {"Zm9-", "outside base64 at offset 3"},
        {"Zm 9", "outside base64 at offset 2"},
        {"A===", "padding '=' before the end at offset 1"},
        {"Zg==Zm9v", "padding '=' before the end at offset 2"},
        {"AB=C", "padding '=' before the end at offset 2"},
        {"Zh==", "unused bits set in the character at offset 1"},
        {"Zm9=", "unused bits set in the character at offset 2"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            Base64::decode(text);
            ADD_FAILURE() << "decoded " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos)
                << text << " gave: " << e.what();
        }
    }
}

}  // namespace
