#include <gtest/gtest.h>

#include "basalt/QZLogger.h"
#include "support/LogCapture.h"
#include "velkor/UUID.h"

using namespace velkor;
using velkor::basalt::QZLogger;

namespace {

struct Described {
    std::string description() const { return "described!"; }
};

}  // namespace

TEST(Logger, FormatsPlaceholdersAndRecordsCaller) {
    test::LogCapture capture;
    auto& log = QZLogger::loggerWithIdentifier("Velkor.Test");
    auto id = UUID::parse("0F2C6A1E-1111-4222-8333-444455556666").value();
    auto shared = std::make_shared<Described>();

    log.debug("Settings (rootId=%@) have been deleted (notify=%@).", id, true);
    log.info("count=%d, obj=%@, ptr=%@, str=%@, 100%%", -42, Described{}, shared, std::string("x"));
    log.warning("missing %@ and %d");

    auto lines = capture->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message,
              "Settings (rootId=0F2C6A1E-1111-4222-8333-444455556666) have been deleted "
              "(notify=true).");
    EXPECT_EQ(lines[0].level, LogLevel::debug);
    EXPECT_EQ(lines[0].logger, "Velkor.Test");
    EXPECT_EQ(lines[0].function, "TestBody");  // gtest's name for the body of a test
    EXPECT_EQ(lines[1].message, "count=-42, obj=described!, ptr=described!, str=x, 100%");
    // Placeholders without arguments stay visible rather than reading garbage.
    EXPECT_EQ(lines[2].message, "missing %@ and %d");
}

TEST(Logger, FiltersBelowTheSinkLevelWithoutFormatting) {
    auto sink = std::make_shared<test::CapturingLogSink>();
    setLogSink(sink, LogLevel::warning);
    auto& log = QZLogger::loggerWithIdentifier("Velkor.Test");
    int rendered = 0;
    struct Counting {
        int* n;
        std::string description() const {
            ++*n;
            return "c";
        }
    };
    log.trace("t %@", Counting{&rendered});
    log.debug("d %@", Counting{&rendered});
    log.info("i %@", Counting{&rendered});
    log.warning("w %@", Counting{&rendered});
    log.error("e %@", Counting{&rendered});
    resetLogSink();

    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "w c");
    EXPECT_EQ(lines[1].message, "e c");
    EXPECT_EQ(rendered, 2) << "filtered lines must not render their arguments";
}

TEST(Logger, SameIdentifierGivesSameLoggerAndUnknownLevelNamesAreRefused) {
    EXPECT_EQ(&QZLogger::loggerWithIdentifier("Velkor.A"),
              &QZLogger::loggerWithIdentifier("Velkor.A"));
    EXPECT_NE(&QZLogger::loggerWithIdentifier("Velkor.A"),
              &QZLogger::loggerWithIdentifier("Velkor.B"));
    EXPECT_EQ(parseLogLevel("warning"), LogLevel::warning);
    EXPECT_FALSE(parseLogLevel("verbose").has_value());
}
