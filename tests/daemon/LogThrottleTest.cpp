#include <gtest/gtest.h>

#include "core/LogThrottle.h"

using namespace velkor::daemon;
using namespace std::chrono_literals;

// Ten lines a client and a hundred in all per minute; a flood of clients that each log once keeps
// the throttle bounded, and every client is forgotten when its minute is over.
TEST(LogThrottleTest, LinesAreBoundedPerClientAndInAllAndClientsAreForgotten) {
    LogThrottle throttle;
    const auto start = LogThrottle::Clock::now();
    std::size_t held = 0, allowed = 0;
    for (int i = 0; i < 15; ++i)
        allowed += throttle.allow("chatty", held, start);
    EXPECT_EQ(allowed, 10u);
    allowed = 0;
    for (int i = 0; i < 20000; ++i)
        allowed += throttle.allow("client " + std::to_string(i), held, start + 1s);
    EXPECT_EQ(allowed, 90u);
    EXPECT_LE(throttle.clientsKept(), LogThrottle::kClientsKept);

    // A minute on, everyone is forgotten; the chatty client starts afresh.
    EXPECT_TRUE(throttle.allow("chatty", held, start + 62s));
    EXPECT_EQ(throttle.clientsKept(), 1u);
}
