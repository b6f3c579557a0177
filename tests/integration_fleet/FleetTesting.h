#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fleet/EtcdClient.h"
#include "fleet/EtcdError.h"
#include "support/ErrorOf.h"
#include "support/EtcdCluster.h"

namespace velkor::fleet::test {

using namespace std::chrono_literals;

inline EtcdDeadline in(std::chrono::milliseconds time) {
    return std::chrono::steady_clock::now() + time;
}

/// Waits, `time` at most, until `done()`; returns whether it came to pass.
template <typename F>
bool within(std::chrono::milliseconds time, F done) {
    for (const auto until = std::chrono::steady_clock::now() + time; !done();
         std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > until)
            return false;
    return true;
}

/// The EtcdError `call` fails with; none when it succeeds.
template <typename F>
std::optional<EtcdError> etcdErrorOf(F call) {
    return velkor::test::thrownBy<EtcdError>(call);
}

/// The kind of the EtcdError `call` fails with; none when it succeeds.
template <typename F>
std::optional<EtcdError::Kind> etcdKindOf(F call) {
    const auto error = etcdErrorOf(call);
    return error ? std::optional(error->kind()) : std::nullopt;
}

/// Options that reach `endpoints`, without TLS or a user.
inline EtcdOptions endpointsOf(std::vector<std::string> endpoints) {
    EtcdOptions options;
    options.endpoints = std::move(endpoints);
    return options;
}

/// The EtcdError a put (`write`) or else a get of `key` through `etcd` fails with; none when
/// it succeeds.
inline std::optional<EtcdError> callError(EtcdClient& etcd, bool write, const std::string& key,
                                          EtcdDeadline deadline) {
    return etcdErrorOf([&] {
        if (write)
            etcd.put(key, "v", deadline);
        else
            etcd.get(key, deadline);
    });
}

/// Whether `error` says that no member could be reached in time.
inline bool unreachable(const std::optional<EtcdError>& error) {
    return error && (error->kind() == EtcdError::Kind::unavailable ||
                     error->kind() == EtcdError::Kind::timeout);
}

/// Tests against the program's one three-member cluster, started by the first test that needs
/// it and torn down when the program ends. Each test works under a key prefix of its own; a
/// test that kills, stops or freezes members has them resumed or thawed, and the cluster healthy,
/// before the next.
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
        for (int member : frozen_)
            cluster().thaw(member);
        if (!down_.empty() || !frozen_.empty())
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
    void freeze(int member) {
        cluster().freeze(member);
        frozen_.insert(member);
    }
    void thaw(int member) {
        cluster().thaw(member);
        frozen_.erase(member);
    }

    /// A client of `count` members, in the cluster's order from `first` on.
    std::unique_ptr<EtcdClient> client(int first = 1, int count = 3) const {
        EtcdOptions options;
        for (int k = 0; k < count; ++k)
            options.endpoints.push_back(cluster().endpoints()[(first - 1 + k) % 3]);
        return std::make_unique<EtcdClient>(options);
    }

    /// A key prefix no other test uses.
    std::string prefix() const {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("/test/") + info->test_suite_name() + "/" + info->name() + "/";
    }

  private:
    std::set<int> down_;
    std::set<int> frozen_;
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
        // An update's events are in revision order: its last is its latest.
        return waitFor(
            [&](const auto& updates) {
                return std::any_of(updates.begin(), updates.end(), [&](const auto& update) {
                    return !update.events.empty() &&
                           update.events.back().kv.modRevision >= revision;
                });
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
