#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace velkor::test {
namespace {

using namespace std::chrono_literals;

// A cluster started for an owner process is torn down once that process has ended without
// tearing it down itself (a test program that crashed): no member goes on running.
TEST(EtcdClusterScriptTest, AClusterWhoseOwnerEndedIsTornDown) {
    const auto output = std::filesystem::temp_directory_path() /
                        ("velkor-etcd-owner-" + std::to_string(::getpid()));
    // The shell is the owner: it starts the cluster, writes what the script printed and ends.
    const std::string command = std::string("bash -c '") + VELKOR_ETCD_CLUSTER_SCRIPT +
                                " start --owner $$ > " + output.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream printed(output);
    std::string line, directory;
    while (std::getline(printed, line))
        if (line.starts_with("VELKOR_ETCD_DIR='"))
            directory = line.substr(17, line.size() - 18);
    std::filesystem::remove(output);
    ASSERT_FALSE(directory.empty());

    std::vector<pid_t> members;
    for (int n = 1; n <= 3; ++n) {
        std::ifstream pid(directory + "/m" + std::to_string(n) + ".pid");
        pid_t member = 0;
        ASSERT_TRUE(pid >> member);
        members.push_back(member);
    }
    auto anyRunning = [&] {
        return std::any_of(members.begin(), members.end(), [](pid_t m) { return !::kill(m, 0); });
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((anyRunning() || std::filesystem::exists(directory)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(anyRunning());
    EXPECT_FALSE(std::filesystem::exists(directory));
}

}  // namespace
}  // namespace velkor::test
