#include <filesystem>
#include <fstream>
#include <regex>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const std::string kScript = kSourceDir + "/scripts/test-daemon";

std::string variable(const std::string& output, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(name + "='?([^'\n]+)'?")))
        return "";
    return match[1];
}

/// Whether process `pid` runs: a process that has exited but was not reaped yet (the script
/// leaves its daemons to whoever adopts them) does not.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z' &&
           line[end + 2] != 'X';
}

}  // namespace

TEST(TestDaemonScriptTest, StartsABusAndADaemonStopsBothByTheirIdsAndRunsACommand) {
    auto [status, output] = run(kScript + " start --velkord " + kVelkord);
    ASSERT_EQ(status, 0) << output;
    const std::string address = variable(output, "VELKOR_BUS_ADDRESS");
    const std::string busPid = variable(output, "VELKOR_BUS_PID");
    const std::string daemonPid = variable(output, "VELKORD_PID");
    const std::string store = variable(output, "VELKORD_DB");
    ASSERT_FALSE(address.empty() || busPid.empty() || daemonPid.empty() || store.empty()) << output;

    {
        DaemonClient client(address);
        EXPECT_EQ(text(client.request(fetchRequest(1000, "org.example.app"))), kNoAccess);
    }
    EXPECT_TRUE(std::filesystem::exists(store));

    // Only what it started: the bus's id in the daemon's place is refused, and both survive.
    EXPECT_NE(run(kScript + " stop " + busPid + " " + busPid + " 2>/dev/null").first, 0);
    EXPECT_TRUE(alive(std::stoi(daemonPid)));
    EXPECT_EQ(run(kScript + " stop " + daemonPid + " " + busPid).first, 0);
    EXPECT_FALSE(alive(std::stoi(daemonPid)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(store).parent_path()));

    // "run" gives a command a bus and a daemon, cleans both up and passes on its exit status.
    std::tie(status, output) = run(
        kScript + " run --velkord " + kVelkord +
        " -- --durability full -- sh -c 'echo \"$VELKORD_PID $DBUS_SYSTEM_BUS_ADDRESS\"; exit 3'");
    EXPECT_EQ(status, 3);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match, std::regex("([0-9]+) unix:path=([^,]+)/bus")))
        << output;
    EXPECT_FALSE(alive(std::stoi(match[1])));
    EXPECT_FALSE(std::filesystem::exists(match[2].str()));
}
