#include <unistd.h>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

/// Clients that try to take the daemon down for everyone, run under an unprivileged uid.
class HostileClientsTest : public DaemonBusTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "running a client under another uid needs root";
    }

    /// Another client is still served.
    void othersAreServed() {
        EXPECT_EQ(text(connect()->request(fetchRequest(1000, "org.example.none"))), kNoAccess);
    }
};

const std::string kFifteenMiB = std::to_string(15 * 1024 * 1024);

}  // namespace

TEST_F(HostileClientsTest, NoFileGrowsPastWhatOneAnswerCanCarry) {
    const auto& address = bus_.address();
    // Three values of 15 MiB, each under the limit on blobs: the second would make the file
    // larger than one answer may be, and nothing of it is stored.
    EXPECT_EQ(
        probe(true, address, "fill 65534 org.example.big 3 " + kFifteenMiB),
        "requestSucceeded; settingsUpdated(done, newRev=1); " + kInvalidData + "; " + kInvalidData);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.big").rfind("settingsFetched(", 0), 0u);
    othersAreServed();

    // A file stored under wider limits than today's, larger than the bus carries: fetching it is
    // refused, again and again, and the daemon serves on.
    restart({"--max-file-size", "60M", "--max-answer-size", "60M"});
    EXPECT_EQ(probe(true, address, "fill 65534 org.example.old 3 " + kFifteenMiB),
              "requestSucceeded; settingsUpdated(done, newRev=1); settingsUpdated(done, newRev=2); "
              "settingsUpdated(done, newRev=3)");
    restart();
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.old"), kInvalidFileData);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.old"), kInvalidFileData);
    othersAreServed();
}
