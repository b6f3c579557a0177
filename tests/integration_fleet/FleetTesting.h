#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fleet/EtcdClient.h"
#include "support/EtcdCluster.h"

namespace velkor::fleet::test {

using namespace std::chrono_literals;

inline EtcdDeadline in(std::chrono::milliseconds time) {
    return std::chrono::steady_clock::now() + time;
}

/// Tests against the program's one three-member cluster, started by the first test that needs
/// it and torn down when the program ends. Each test works under a key prefix of its own; a
/// test that kills or stops members has them resumed, and the cluster healthy, before the next.
class FleetTest : public ::testing::Test {
  protected:
    static velkor::test::EtcdCluster& cluster() {
        static velkor::test::EtcdCluster shared;
        return shared;
    }

    void SetUp() override { cluster(); }

    void TearDown() override {
        for (int member : down_)
            cluster().resume(member);
        if (!down_.empty())
            cluster().waitHealthy();
    }

    void kill(int member) {
        cluster().kill(member);
        down_.insert(member);
    }
    void stop(int member) {
        cluster().stop(member);
        down_.insert(member);
    }
    void resume(int member) {
        cluster().resume(member);
        down_.erase(member);
    }

    /// A client of every member, in the cluster's order from `first` on.
    std::unique_ptr<EtcdClient> client(int first = 1) const {
        EtcdOptions options;
        for (int k = 0; k < 3; ++k)
            options.endpoints.push_back(cluster().endpoints()[(first - 1 + k) % 3]);
        return std::make_unique<EtcdClient>(options);
    }

    /// A client of member `member` alone.
    std::unique_ptr<EtcdClient> clientOf(int member) const {
        EtcdOptions options;
        options.endpoints = {cluster().endpoints()[member - 1]};
        return std::make_unique<EtcdClient>(options);
    }

    /// A key prefix no other test uses.
    std::string prefix() const {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("/test/") + info->test_suite_name() + "/" + info->name() + "/";
    }

  private:
    std::set<int> down_;
};

/// Collects what a watch delivers, for the test thread to wait on.
class WatchLog {
  public:
    EtcdWatcher::Callback callback() {
        return [this](const EtcdWatchUpdate& update) {
            std::lock_guard lock(mutex_);
            updates_.push_back(update);
            changed_.notify_all();
        };
    }

    /// Waits (at most `time`) until `done` holds for the updates so far; returns whether it did.
    bool waitFor(const std::function<bool(const std::vector<EtcdWatchUpdate>&)>& done,
                 std::chrono::milliseconds time = 15s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, time, [&] { return done(updates_); });
    }

    /// Waits until an event of revision `revision` or later has come.
    bool waitForRevision(int64_t revision, std::chrono::milliseconds time = 15s) {
        return waitFor(
            [&](const auto& updates) {
                for (const auto& update : updates) {
                    for (const auto& event : update.events) {
                        if (event.kv.modRevision >= revision)
                            return true;
                    }
                }
                return false;
            },
            time);
    }

    std::vector<EtcdWatchUpdate> updates() const {
        std::lock_guard lock(mutex_);
        return updates_;
    }

    std::vector<EtcdEvent> events() const {
        std::lock_guard lock(mutex_);
        std::vector<EtcdEvent> all;
        for (const auto& update : updates_)
            all.insert(all.end(), update.events.begin(), update.events.end());
        return all;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EtcdWatchUpdate> updates_;
};

}  // namespace velkor::fleet::test
