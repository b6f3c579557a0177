#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "FleetTesting.h"
#include "support/ErrorOf.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

namespace velkor::fleet::test {

namespace {

using velkor::test::errorOf;
using velkor::test::PrivateBus;
using velkor::test::TestDaemon;

constexpr const char* kDomain = "org.example.lab";

/// One machine: a private bus and a velkord whose shared files of org.example.* are fleet files.
struct Machine {
    Machine(const std::filesystem::path& directory, const std::string& name,
            const std::vector<std::string>& endpoints, const std::string& prefix) {
        std::string list;
        for (const auto& endpoint : endpoints)
            list += (list.empty() ? "" : ",") + endpoint;
        settings = {VELKORD_PATH,
                    bus.address(),
                    (directory / (name + ".db")).string(),
                    {"--fleet", list, "--fleet-domains", "org.example.*", "--fleet-prefix", prefix,
                     "--fleet-timeout", "2", "--log-level", "info"}};
        start();
    }
    void start() { daemon = std::make_unique<TestDaemon>(settings); }

    PrivateBus bus;
    TestDaemon::Settings settings;
    std::unique_ptr<TestDaemon> daemon;
    ConnectionOptions options{.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 20s};
};

/// The shared fleet file as a fresh fetch on `machine` gives it.
std::shared_ptr<VKDictionary> fetch(const Machine& machine) {
    return connect(machine.options)
        ->getSettingAs<VKDictionary>(kDomain, {}, true, VKOwnership::shared());
}

/// Waits, 20 seconds at most, until `done()`.
template <typename F>
bool eventually(F done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class FleetDaemonTest : public FleetTest {
  protected:
    void TearDown() override {
        machines_.clear();
        std::filesystem::remove_all(directory_);
        FleetTest::TearDown();
    }

    /// A machine on every member, or on `endpoints` alone.
    Machine& machine(const std::string& name, std::vector<std::string> endpoints = {}) {
        if (endpoints.empty())
            endpoints = cluster().endpoints();
        machines_.push_back(std::make_unique<Machine>(directory_, name, endpoints, prefix()));
        return *machines_.back();
    }

  private:
    std::filesystem::path directory_ = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("velkor-fleet-" + UUID::random().description());
        std::filesystem::create_directories(path);
        return path;
    }();
    std::vector<std::unique_ptr<Machine>> machines_;
};

}  // namespace

// Two machines write one fleet file at once, each its own keys and one key both write; every
// write is either acknowledged or refused as a conflict (and then tried again), an observer on
// each machine hears the other's changes, and afterwards both machines hold exactly the values
// acknowledged. A machine's own files stay its own.
TEST_F(FleetDaemonTest, TwoMachinesWritingAtOnceEndEqualWithEveryAcknowledgedWrite) {
    Machine& a = machine("a");
    Machine& b = machine("b");
    connect(a.options)->openDictionary(kDomain, VKOwnership::shared());
    auto watched = Settings::open(b.options, kDomain, VKOwnership::shared());
    ASSERT_NE(watched->current(), nullptr);
    std::atomic<int> heard{0};
    Subscription watching = watched->observe(
        [&](const Settings::Event& e) { heard += std::holds_alternative<VKContainerChange>(e); });

    constexpr int kWrites = 40;
    std::atomic<std::int64_t> lastShared{-1};
    std::mutex sharedOrder;
    auto writer = [&](Machine& m, const std::string& name, int offset) {
        auto root = connect(m.options)->openDictionary(kDomain, VKOwnership::shared());
        for (int i = 0; i < kWrites; ++i) {
            while (!root->set(name + "." + std::to_string(i), i)) {
                // Refused as a conflict: the root is back to the daemon's state; try again.
            }
            const std::int64_t value = offset + i;
            std::lock_guard lock(sharedOrder);
            if (root->set("both", value))
                lastShared = value;
        }
    };
    std::thread onA(writer, std::ref(a), "a", 0);
    std::thread onB(writer, std::ref(b), "b", 1000);
    onA.join();
    onB.join();

    for (Machine* m : {&a, &b}) {
        auto fresh = fetch(*m);
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_EQ(fresh->get("a." + std::to_string(i), -1), i);
            EXPECT_EQ(fresh->get("b." + std::to_string(i), -1), i);
        }
        EXPECT_EQ(fresh->get("both", -1), lastShared.load());
    }
    EXPECT_TRUE(eventually([&] {
        auto root = watched->current();
        return root && root->get("a." + std::to_string(kWrites - 1), -1) == kWrites - 1 &&
               root->get("both", -1) == lastShared.load();
    }));
    EXPECT_GT(heard.load(), 0);

    ASSERT_TRUE(connect(a.options)->openDictionary("org.example.mine")->set("k", 1));
    EXPECT_EQ(errorOf([&] { (void)connect(b.options)->getSetting("org.example.mine"); }),
              VKError::fileDoesNotExist);
}

}  // namespace velkor::fleet::test
