// The base services: the archive, the logger, UUIDs and the mutex lock.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <unordered_set>
#include <vector>

#include "basalt/ArchiveFormat.h"
#include "basalt/ArchiveWriter.h"
#include "basalt/BKPThreadMutexLock.h"
#include "basalt/BKUnarchiverWrapper.h"
#include "basalt/QZLogger.h"
#include "support/LogCapture.h"
#include "velkor/UUID.h"

using namespace velkor;
using basalt::ArchiveItem;
using basalt::BKUnarchiverWrapper;
using Bytes = std::vector<std::uint8_t>;

namespace {

/// The magic followed by `items`.
Bytes archiveOf(Bytes items) {
    items.insert(items.begin(), basalt::archiveMagic.begin(), basalt::archiveMagic.end());
    return items;
}

/// The items a reader hands out of a whole blob, up to the first none. Once it has said none it
/// keeps saying so, at the end of a well-formed blob and failed on any other.
std::vector<ArchiveItem> readAll(std::span<const std::uint8_t> blob, bool wellFormed) {
    std::vector<ArchiveItem> items;
    auto reader = BKUnarchiverWrapper::createWithData(blob);
    if (!reader) {
        ADD_FAILURE() << "not an archive";
        return items;
    }
    while (auto item = BKUnarchiverWrapper::decodeObject(*reader))
        items.push_back(*item);
    EXPECT_FALSE(BKUnarchiverWrapper::decodeObject(*reader).has_value());
    EXPECT_EQ(reader->atEnd(), wellFormed);
    EXPECT_EQ(reader->failed(), !wellFormed);
    return items;
}

/// Counts how often the logger renders it.
struct Counting {
    int* rendered;
    std::string description() const {
        ++*rendered;
        return "described!";
    }
};

}  // namespace

// Archives as the daemon writes them and as a peer or a damaged store could hand them over. Every
// blob sits in a heap block of exactly its size: under AddressSanitizer, these tests also prove
// that nothing past the end is read.
// The bytes are the contract with the daemon and with stored files: plain CBOR behind the magic,
// every head as short as it can be; reading gives views into the blob.
TEST(Archive, ItemsTravelAsShortestCborAndReadBackAsViewsIntoTheBlob) {
    basalt::ArchiveWriter writer;
    EXPECT_EQ(writer.archiverData(), archiveOf({}));
    std::vector<ArchiveItem> items;
    for (std::int64_t v : std::initializer_list<std::int64_t>{
             23, 24, 256, 65536, 4294967296, -25, std::numeric_limits<std::int64_t>::min()}) {
        writer.encodeInteger(v);
        items.push_back(ArchiveItem::ofInteger(v));
    }
    const std::string text24 = "abcdefghijklmnopqrstuvwx";
    for (const char* text : {"\xC3\xA9", text24.c_str()}) {
        writer.encodeText(text);
        items.push_back(ArchiveItem::ofText(text));
    }
    const Bytes large(300, 0x5A);
    writer.encodeBytes(large);
    items.push_back(ArchiveItem::ofBytes(large));

    Bytes expected{
        0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52,              // tag 55800 over h'424F52'
                                                               // ("BOR")
        0x17, 0x18, 0x18, 0x19, 0x01, 0x00,                    // 23, 24, 256
        0x1A, 0x00, 0x01, 0x00, 0x00,                          // 65536
        0x1B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // 2^32
        0x38, 0x18,                                            // -25
        0x3B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // INT64_MIN
        0x62, 0xC3, 0xA9, 0x78, 0x18,                          // "é", a 24-byte text
    };
    for (char c : text24)
        expected.push_back(static_cast<std::uint8_t>(c));
    expected.insert(expected.end(), {0x59, 0x01, 0x2C});  // then 300 bytes
    expected.insert(expected.end(), large.begin(), large.end());
    const auto blob = writer.takeArchiverData();
    EXPECT_EQ(blob, expected);
    EXPECT_EQ(writer.archiverData(), archiveOf({})) << "taking the blob leaves a fresh archive";
    const auto read = readAll(blob, true);
    EXPECT_EQ(read, items);
    EXPECT_EQ(read.back().bytes.data() + large.size(), blob.data() + blob.size());
}

// CBOR the archive does not use, lengths past the end, integers beyond 64 bits and text that is not
// UTF-8 end the reading: the item after them is not handed out. Only blobs that start with the
// whole magic are archives.
TEST(Archive, AForeignOrImpossibleItemEndsTheReadingForGood) {
    const std::vector<Bytes> bad{
        {0x82, 0x01, 0x02},        // array
        {0x5F, 0x41, 0x00, 0xFF},  // indefinite byte string
        {0xD9, 0xD9, 0xF8, 0x01},  // tag
        {0xFB, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0},
        {0xFF},  // lone break
        {0x1C},  // reserved head
        {0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x59, 0x01, 0x00},
        {0x1B, 0x80, 0, 0, 0, 0, 0, 0, 0},
        {0x3B, 0xFF, 0, 0, 0, 0, 0, 0, 0},
        {0x62, 0xC3, 0x28},        // a lead byte without its continuation
        {0x62, 0xC0, 0x80},        // overlong NUL
        {0x63, 0xED, 0xA0, 0x80},  // UTF-16 surrogate
        {0x64, 0xF4, 0x90, 0x80, 0x80},
        {0x6A, 0xC3, 0xA9, 'a', 'b', 'c', 'd', 'e', 'f', 0xE2, 0x82},  // the last one cut short
    };
    for (const auto& item : bad) {
        SCOPED_TRACE(int(item[0]));
        auto blob = archiveOf({0x07});
        blob.insert(blob.end(), item.begin(), item.end());
        blob.push_back(0x08);
        const Bytes exact(blob);  // a block of exactly its size
        EXPECT_EQ(readAll(exact, false), std::vector{ArchiveItem::ofInteger(7)});
    }
    // Longer heads than needed are well-formed CBOR and are taken.
    EXPECT_EQ(readAll(archiveOf({0x18, 0x05, 0x39, 0x00, 0x00}), true),
              (std::vector{ArchiveItem::ofInteger(5), ArchiveItem::ofInteger(-1)}));

    const auto magicOnly = archiveOf({});
    for (std::size_t i = 0; i < magicOnly.size(); ++i) {
        auto altered = archiveOf({0x01});
        altered[i] ^= 0x01;
        EXPECT_FALSE(BKUnarchiverWrapper::createWithData(altered).has_value()) << i;
        const Bytes truncated(magicOnly.begin(), magicOnly.begin() + i);
        EXPECT_FALSE(BKUnarchiverWrapper::createWithData(truncated).has_value()) << i;
    }
}

// Only lines the sink takes are formatted; placeholders without arguments stay visible rather than
// reading garbage.
TEST(Logger, FormatsOnlyTheLinesTheSinkTakesAndRecordsTheCaller) {
    auto sink = std::make_shared<test::CapturingLogSink>();
    setLogSink(sink, *parseLogLevel("info"));
    auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Test");
    int rendered = 0;
    log.debug("hidden %@", Counting{&rendered});
    log.info("id=%@ on=%@ n=%d obj=%@ ptr=%@ 100%%",
             *UUID::parse("0f2c6a1e-1111-4222-8333-444455556666"), true, -42, Counting{&rendered},
             std::make_shared<Counting>(Counting{&rendered}));
    log.warning("missing %@ and %d");
    resetLogSink();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message,
              "id=0F2C6A1E-1111-4222-8333-444455556666 on=true n=-42 obj=described! "
              "ptr=described! 100%");
    EXPECT_EQ(lines[0].logger, "Velkor.Test");
    // gtest's name for the body of a test
    EXPECT_EQ(lines[0].function, "TestBody");
    EXPECT_EQ(lines[1].message, "missing %@ and %d");
    EXPECT_EQ(rendered, 2);
    EXPECT_FALSE(parseLogLevel("verbose").has_value());
}

TEST(UUIDTest, RandomOnesAreDistinctVersion4AndTextAndBytesRoundTrip) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        auto id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_EQ(UUID::fromBytes(id.bytes()), id);
        EXPECT_EQ(UUID::parse(id.description()), id);
    }
    EXPECT_LT(*UUID::parse("00000000-0000-0000-0000-000000000001"),
              *UUID::parse("01000000-0000-0000-0000-000000000000"));
    for (const char* bad :
         {"0F2C6A1E-ABCD-4EF0-8123-456789ABCDE", "0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF0",
          "0F2C6A1EXABCD-4EF0-8123-456789ABCDEF", "0F2C6A1E-ABCD-4EF0-8123-456789ABCDEG"})
        EXPECT_FALSE(UUID::parse(bad).has_value()) << bad;
    const std::uint8_t seventeen[17] = {};
    EXPECT_FALSE(UUID::fromBytes(std::span(seventeen).first(15)).has_value());
    EXPECT_FALSE(UUID::fromBytes(seventeen).has_value());
}

TEST(MutexLock, SyncReturnsTheResultAndAThrowReleasesTheLock) {
    basalt::BKPThreadMutexLock lock;
    EXPECT_THROW(lock.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // This would deadlock if the throw kept the lock.
    EXPECT_EQ(lock.sync([] { return 42; }), 42);
    basalt::BKPThreadMutexLock recursive(true);
    EXPECT_EQ(recursive.sync([&] { return recursive.sync([] { return 7; }); }), 7);
}
