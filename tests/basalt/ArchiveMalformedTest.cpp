// Blobs that a peer or a damaged store could hand us. Every blob sits in a heap block of exactly
// its size: run under AddressSanitizer, these tests also prove that nothing past the end is read.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "ArchiveTesting.h"
#include "basalt/ArchiveWriter.h"

using namespace velkor;
using basalt::ArchiveItem;
using test::archiveOf;
using test::readAll;

TEST(ArchiveMalformed, EveryTruncationYieldsTheWholeItemsBeforeTheCut) {
    const std::vector<std::uint8_t> payload(300, 0xAB);
    basalt::ArchiveWriter writer;
    writer.encodeInteger(5).encodeInteger(-70000).encodeInteger(
        std::numeric_limits<int64_t>::min());
    writer.encodeText("\xE2\x82\xAC").encodeBytes(payload).encodeText("").encodeInteger(1 << 20);
    const auto blob = writer.takeArchiverData();
    const auto whole = readAll(blob).items;
    ASSERT_EQ(whole.size(), 7u);

    std::size_t boundaries = 0;
    for (std::size_t cut = basalt::archiveMagic.size(); cut < blob.size(); ++cut) {
        const std::vector<std::uint8_t> truncated(blob.begin(), blob.begin() + cut);
        auto read = readAll(truncated);
        ASSERT_LT(read.items.size(), whole.size()) << cut;
        EXPECT_TRUE(std::equal(read.items.begin(), read.items.end(), whole.begin())) << cut;
        // A cut between two items leaves a shorter well-formed archive; any other cut fails.
        EXPECT_NE(read.atEnd, read.failed) << cut;
        boundaries += read.atEnd;
    }
    EXPECT_EQ(boundaries, whole.size());  // the magic alone, then after each item but the last
}

TEST(ArchiveMalformed, ForeignItemsReadAsNoItemAndTheReaderStaysFailed) {
    const std::vector<std::vector<std::uint8_t>> foreign{
        {0x80},
        {0x82, 0x01, 0x02},
        {0x9F, 0x01, 0xFF},  // arrays, definite and indefinite
        {0xA1, 0x01, 0x02},
        {0xBF, 0xFF},              // maps
        {0x5F, 0x41, 0x00, 0xFF},  // indefinite byte string
        {0x7F, 0x61, 0x61, 0xFF},  // indefinite text string
        {0xC1, 0x01},
        {0xD9, 0xD9, 0xF8, 0x01},  // tags, the magic's tag included
        {0xF4},
        {0xF5},
        {0xF6},
        {0xF7},
        {0xF8, 0x20},  // simple values
        {0xF9, 0x3C, 0x00},
        {0xFA, 0x3F, 0x80, 0x00, 0x00},  // floats
        {0xFB, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0},
        {0xFF},  // a lone break
        {0x1C},
        {0x3D},
        {0x5E},
        {0x7C},
        {0x1F},
        {0x3F},  // reserved and indefinite integer heads
    };
    for (const auto& bad : foreign) {
        std::vector<std::uint8_t> blob = archiveOf({0x07});
        blob.insert(blob.end(), bad.begin(), bad.end());
        blob.push_back(0x08);  // a readable item after the bad one is not handed out
        const std::vector<std::uint8_t> exact(blob.begin(), blob.end());
        auto read = readAll(exact);
        EXPECT_EQ(read.items, std::vector{ArchiveItem::ofInteger(7)}) << int(bad[0]);
        EXPECT_TRUE(read.failed) << int(bad[0]);
        EXPECT_FALSE(read.atEnd) << int(bad[0]);
    }
}

TEST(ArchiveMalformed, DeclaredLengthsPastTheEndAndCutHeadsReadAsNoItem) {
    const std::vector<std::vector<std::uint8_t>> blobs{
        archiveOf({0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}),
        archiveOf({0x7B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x61}),
        archiveOf({0x5A, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}),
        archiveOf({0x59, 0x01, 0x00, 0x00, 0x00, 0x00}),
        archiveOf({0x45, 0x01, 0x02, 0x03, 0x04}),
        archiveOf({0x65, 0x61, 0x62, 0x63, 0x64}),
        archiveOf({0x78}),
        archiveOf({0x1B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}),
        archiveOf({0x39, 0x01}),
    };
    for (const auto& blob : blobs) {
        auto read = readAll(blob);
        EXPECT_TRUE(read.items.empty()) << int(blob[7]);
        EXPECT_TRUE(read.failed) << int(blob[7]);
    }
}

TEST(ArchiveMalformed, IntegersOutsideTheSigned64BitRangeReadAsNoItem) {
    constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    // Longer heads than needed are well-formed CBOR and are accepted.
    auto read = readAll(archiveOf({0x1B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                   0x3B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                   0x18, 0x05, 0x39, 0x00, 0x00}));
    EXPECT_EQ(read.items,
              (std::vector{ArchiveItem::ofInteger(int64Max), ArchiveItem::ofInteger(int64Min),
                           ArchiveItem::ofInteger(5), ArchiveItem::ofInteger(-1)}));
    EXPECT_TRUE(read.atEnd);

    for (std::uint8_t major : {0x1B, 0x3B}) {
        for (std::uint8_t top : {0x80, 0xFF}) {
            auto beyond = readAll(archiveOf({0x01, major, top, 0, 0, 0, 0, 0, 0, 0x00, 0x02}));
            EXPECT_EQ(beyond.items, std::vector{ArchiveItem::ofInteger(1)}) << int(major);
            EXPECT_TRUE(beyond.failed);
        }
    }
}

TEST(ArchiveMalformed, TextThatIsNotUtf8ReadsAsNoItem) {
    const std::vector<std::vector<std::uint8_t>> invalid{
        {0x80},                    // a lone continuation byte
        {0xC3, 0x28},              // a lead byte without its continuation
        {0xC0, 0x80},              // overlong NUL
        {0xE0, 0x80, 0xAF},        // overlong "/"
        {0xED, 0xA0, 0x80},        // a UTF-16 surrogate
        {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
        {0xF8, 0x88, 0x80, 0x80, 0x80},
        {0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0xE2, 0x82},  // cut inside the text
    };
    for (const auto& text : invalid) {
        std::vector<std::uint8_t> blob = archiveOf({});
        blob.push_back(static_cast<std::uint8_t>(0x60 + text.size()));
        blob.insert(blob.end(), text.begin(), text.end());
        auto read = readAll(std::vector<std::uint8_t>(blob));
        EXPECT_TRUE(read.items.empty()) << int(text[0]);
        EXPECT_TRUE(read.failed);

        // The same bytes as a byte string are fine.
        blob[basalt::archiveMagic.size()] -= 0x20;
        const std::vector<std::uint8_t> exact(blob);
        auto asBytes = readAll(exact);
        ASSERT_EQ(asBytes.items.size(), 1u);
        EXPECT_TRUE(std::ranges::equal(asBytes.items[0].bytes, text));
    }
}
