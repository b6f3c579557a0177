#include <gtest/gtest.h>

#include <unordered_set>

#include "basalt/BKPThreadMutexLock.h"
#include "basalt/QZLogger.h"
#include "support/LogCapture.h"
#include "velkor/UUID.h"

using namespace velkor;

namespace {

/// Counts how often the logger renders it.
struct Counting {
    int* rendered;
    std::string description() const {
        ++*rendered;
        return "described!";
    }
};

}  // namespace

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
