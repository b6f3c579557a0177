#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ArchiveTesting.h"
#include "basalt/ArchiveWriter.h"
#include "basalt/BKUnarchiverWrapper.h"

using namespace velkor;
using basalt::ArchiveItem;
using basalt::ArchiveWriter;
using basalt::BKUnarchiverWrapper;
using test::readAll;

namespace {

constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();

bool inside(const void* p, std::span<const std::uint8_t> blob) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return b >= blob.data() && b <= blob.data() + blob.size();
}

}  // namespace

TEST(Archive, EveryItemTypeRoundTripsAsViewsIntoTheBlob) {
    const std::vector<std::int64_t> integers{
        0,  1,   23,  24,   255,  256,    65535,    65536,    4294967295,  4294967296,
        -1, -24, -25, -256, -257, -65537, int64Max, int64Min, int64Min + 1};
    const std::vector<std::string> texts{"",
                                         "a",
                                         "h\xC3\xA9llo",
                                         "\xE2\x82\xAC 12",
                                         "\xF0\x9D\x84\x9E clef",
                                         "\xE6\x97\xA5\xE6\x9C\xAC",
                                         std::string(300, 'k')};
    std::vector<std::uint8_t> large(64 * 1024);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    const std::vector<std::vector<std::uint8_t>> byteStrings{{}, {0x00}, {0xFF, 0x00, 0x7F}, large};

    ArchiveWriter writer;
    std::vector<ArchiveItem> expected;
    for (auto v : integers) {
        writer.encodeInteger(v);
        expected.push_back(ArchiveItem::ofInteger(v));
    }
    for (const auto& t : texts) {
        writer.encodeText(t);
        expected.push_back(ArchiveItem::ofText(t));
    }
    for (const auto& b : byteStrings) {
        writer.encodeBytes(b);
        expected.push_back(ArchiveItem::ofBytes(b));
    }
    const std::vector<std::uint8_t> blob = writer.takeArchiverData();

    auto read = readAll(blob);
    EXPECT_EQ(read.items, expected);
    EXPECT_TRUE(read.atEnd);
    EXPECT_FALSE(read.failed);
    for (const auto& item : read.items) {
        EXPECT_TRUE(inside(item.text.data(), blob) || item.text.empty());
        EXPECT_TRUE(inside(item.bytes.data(), blob) || item.bytes.empty());
    }
    ASSERT_EQ(read.items.back().bytes.size(), large.size());
    EXPECT_EQ(read.items.back().bytes.data() + large.size(), blob.data() + blob.size());
}

TEST(Archive, BlobIsPlainCborWithShortestHeads) {
    ArchiveWriter writer;
    writer.encodeInteger(0).encodeInteger(23).encodeInteger(24).encodeInteger(255);
    writer.encodeInteger(256).encodeInteger(65536).encodeInteger(4294967296);
    writer.encodeInteger(-1).encodeInteger(-24).encodeInteger(-25).encodeInteger(-500);
    writer.encodeInteger(int64Min).encodeInteger(int64Max);
    writer.encodeText("").encodeText("a").encodeText("\xC3\xA9");
    writer.encodeText("abcdefghijklmnopqrstuvwx");
    const std::uint8_t deadBeef[] = {0xDE, 0xAD, 0xBE, 0xEF};
    writer.encodeBytes({}).encodeBytes(deadBeef);

    std::vector<std::uint8_t> expected{
        0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52,              // tag 55800 over h'424F52' ("BOR")
        0x00, 0x17, 0x18, 0x18, 0x18, 0xFF,                    // 0, 23, 24, 255
        0x19, 0x01, 0x00,                                      // 256
        0x1A, 0x00, 0x01, 0x00, 0x00,                          // 65536
        0x1B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // 2^32
        0x20, 0x37, 0x38, 0x18, 0x39, 0x01, 0xF3,              // -1, -24, -25, -500
        0x3B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // INT64_MIN
        0x1B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // INT64_MAX
        0x60, 0x61, 0x61, 0x62, 0xC3, 0xA9,                    // "", "a", "é"
        0x78, 0x18,                                            // a 24-byte text follows
    };
    for (char c = 'a'; c <= 'x'; ++c) {
        expected.push_back(static_cast<std::uint8_t>(c));
    }
    expected.insert(expected.end(), {0x40, 0x44, 0xDE, 0xAD, 0xBE, 0xEF});  // h'', h'DEADBEEF'
    EXPECT_EQ(writer.archiverData(), expected);
}

TEST(Archive, TakingTheBlobLeavesAFreshArchive) {
    ArchiveWriter writer;
    EXPECT_EQ(writer.archiverData(), test::archiveOf({}));
    writer.encodeText("first");
    const auto first = writer.takeArchiverData();
    EXPECT_EQ(writer.archiverData(), test::archiveOf({}));

    writer.encodeInteger(2);
    EXPECT_EQ(readAll(first).items, std::vector{ArchiveItem::ofText("first")});
    EXPECT_EQ(readAll(writer.archiverData()).items, std::vector{ArchiveItem::ofInteger(2)});
}

TEST(Archive, OnlyBlobsStartingWithTheMagicAreArchives) {
    const auto magicOnly = test::archiveOf({});
    for (std::size_t cut = 0; cut < magicOnly.size(); ++cut) {
        const std::vector<std::uint8_t> truncated(magicOnly.begin(), magicOnly.begin() + cut);
        EXPECT_FALSE(BKUnarchiverWrapper::createWithData(truncated).has_value()) << cut;
    }
    for (std::size_t i = 0; i < magicOnly.size(); ++i) {
        auto altered = test::archiveOf({0x01});
        altered[i] ^= 0x01;
        EXPECT_FALSE(BKUnarchiverWrapper::createWithData(altered).has_value()) << i;
    }
    // Plain CBOR items, and the self-described CBOR tag 55799 that is not the sequence magic.
    const std::vector<std::uint8_t> plainItems{0x01, 0x61, 0x61};
    const std::vector<std::uint8_t> selfDescribed{0xD9, 0xD9, 0xF7, 0x43, 0x42, 0x4F, 0x52, 0x01};
    EXPECT_FALSE(BKUnarchiverWrapper::createWithData(plainItems).has_value());
    EXPECT_FALSE(BKUnarchiverWrapper::createWithData(selfDescribed).has_value());

    // The magic alone is an empty archive.
    auto empty = BKUnarchiverWrapper::createWithData(magicOnly);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->atEnd());
    EXPECT_FALSE(BKUnarchiverWrapper::decodeObject(*empty).has_value());
    EXPECT_TRUE(empty->atEnd());
    EXPECT_FALSE(empty->failed());
}
