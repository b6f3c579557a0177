#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "support/BlockingQueue.h"

using namespace velkor;

namespace {

const std::filesystem::path kScript =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "scripts" /
    "private-bus";

/// Runs a shell command; gives its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {-1, output};
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

TEST(PrivateBusScriptTest, StartsABusThatClientsReachStopsItByItsProcessIdAndRunsACommand) {
    auto [status, output] = run(kScript.string() + " start");
    ASSERT_EQ(status, 0) << output;
    std::smatch address;
    std::smatch pid;
    ASSERT_TRUE(std::regex_search(output, address, std::regex("VELKOR_BUS_ADDRESS='([^']+)'")));
    ASSERT_TRUE(std::regex_search(output, pid, std::regex("VELKOR_BUS_PID=([0-9]+)")));
    std::smatch directory;
    std::string addressText = address[1];
    ASSERT_TRUE(std::regex_search(addressText, directory, std::regex("unix:path=([^,]+)/bus")));
    EXPECT_TRUE(std::filesystem::exists(directory[1].str()));

    test::BlockingQueue<bool> ended;
    dbus::BusLoop client(dbus::BusConnection::open(addressText));
    client.start([](const dbus::Message&) {}, [&] { ended.push(true); });

    // Only a bus it started: our own process is refused and survives.
    EXPECT_NE(run(kScript.string() + " stop " + std::to_string(getpid()) + " 2>/dev/null").first,
              0);
    EXPECT_EQ(run(kScript.string() + " stop " + pid[1].str()).first, 0);
    EXPECT_TRUE(ended.next().has_value());
    EXPECT_FALSE(std::filesystem::exists(directory[1].str()));

    // "run" gives the command a bus and passes on its exit status.
    std::tie(status, output) =
        run(kScript.string() + " run -- sh -c 'echo \"$DBUS_SYSTEM_BUS_ADDRESS\"; exit 3'");
    EXPECT_EQ(status, 3);
    ASSERT_TRUE(std::regex_search(output, directory, std::regex("unix:path=([^,]+)/bus")));
    EXPECT_FALSE(std::filesystem::exists(directory[1].str()));
}
