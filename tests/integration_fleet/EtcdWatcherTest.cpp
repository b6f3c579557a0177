#include <algorithm>
#include <thread>

#include "FleetTesting.h"
#include "fleet/EtcdError.h"

namespace velkor::fleet::test {
namespace {

class EtcdWatcherTest : public FleetTest {};

struct Change {
    std::string key;
    int64_t revision;
    bool removal;
    bool operator==(const Change&) const = default;
};

std::vector<Change> changesOf(const std::vector<EtcdEvent>& events) {
    std::vector<Change> changes;
    for (const auto& event : events)
        changes.push_back(
            {event.kv.key, event.kv.modRevision, event.type == EtcdEvent::Type::remove});
    return changes;
}

/// Writes `count` changes under `base` (every fourth a removal of the key before), returning
/// them in commit order.
std::vector<Change> write(EtcdClient& etcd, const std::string& base, int count, int from = 0) {
    std::vector<Change> written;
    for (int i = from; i < from + count; ++i) {
        if (i % 4 == 3) {
            const std::string key = base + std::to_string(i - 1);
            written.push_back({key, etcd.remove(key, in(5s)), true});
        } else {
            const std::string key = base + std::to_string(i);
            written.push_back({key, etcd.put(key, "v" + std::to_string(i), in(5s)), false});
        }
    }
    return written;
}

TEST_F(EtcdWatcherTest, DeliversEveryChangeInOrderAndResumesWithoutGapAfterItsMemberIsKilled) {
    // The watch starts on a follower: killing the leader would stop writes until an election,
    // which is the cluster's matter, not the watch's.
    const int follower = cluster().leader() % 3 + 1;
    auto writer = client(follower % 3 + 1);
    auto reader = client(follower);
    const std::string base = prefix();
    const int64_t start = writer->put(base + "seed", "s", in(5s));
    // A change outside the prefix is not delivered.
    writer->put(base.substr(0, base.size() - 1) + "-beside", "x", in(5s));

    WatchLog log;
    auto watcher = reader->watch(base, start + 1, log.callback());
    auto expected = write(*writer, base, 12);
    ASSERT_TRUE(log.waitForRevision(expected.back().revision));
    EXPECT_EQ(changesOf(log.events()), expected);

    const std::string killedEndpoint = watcher->endpoint();
    ASSERT_EQ(cluster().memberOf(killedEndpoint), follower);
    kill(follower);
    auto more = write(*writer, base, 12, 12);
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_TRUE(log.waitForRevision(expected.back().revision));
    EXPECT_EQ(changesOf(log.events()), expected);
    EXPECT_NE(watcher->endpoint(), killedEndpoint);
    EXPECT_EQ(watcher->nextRevision(), expected.back().revision + 1);

    // Each update's revision is at least that of its last event; events stay in revision order.
    for (const auto& update : log.updates()) {
        if (!update.events.empty()) {
            EXPECT_GE(update.revision, update.events.back().kv.modRevision);
        }
    }
    watcher->stop();
    EXPECT_TRUE(watcher->ended());
}

TEST_F(EtcdWatcherTest, ReportsACompactionPastItsRevisionAndEnds) {
    // The watch uses one member only, so that while that member is down it cannot resume
    // elsewhere before the history it needs is compacted.
    const int watched = cluster().leader() % 3 + 1;
    auto writer = client(watched % 3 + 1);
    const std::string base = prefix();
    const int64_t start = writer->put(base + "seed", "s", in(5s));

    WatchLog log;
    auto watcher = clientOf(watched)->watch(base, start + 1, log.callback());
    auto before = write(*writer, base, 3);
    ASSERT_TRUE(log.waitForRevision(before.back().revision));

    kill(watched);
    auto during = write(*writer, base, 3, 3);
    writer->compact(during.back().revision, in(5s));
    resume(watched);

    ASSERT_TRUE(log.waitFor([](const auto& updates) {
        return !updates.empty() && updates.back().compactRevision > 0;
    }));
    const auto updates = log.updates();
    EXPECT_EQ(updates.back().compactRevision, during.back().revision);
    EXPECT_TRUE(updates.back().events.empty());
    // Nothing of the compacted span was delivered; the watch ended after saying so.
    EXPECT_EQ(changesOf(log.events()), before);
    EXPECT_EQ(watcher->nextRevision(), before.back().revision + 1);
    ASSERT_TRUE(log.waitFor([&](const auto&) { return watcher->ended(); }, 5s));

    // The owner's way on: read afresh, watch from the revision read.
    auto fresh = writer->getPrefix(base, in(5s));
    std::vector<std::string> keys;
    for (const auto& kv : fresh.kvs)
        keys.push_back(kv.key.substr(base.size()));
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "1", "4", "5", "seed"}));
    WatchLog next;
    auto resumed = writer->watch(base, fresh.revision + 1, next.callback());
    const int64_t later = writer->put(base + "later", "l", in(5s));
    ASSERT_TRUE(next.waitForRevision(later));
    EXPECT_EQ(changesOf(next.events()), (std::vector<Change>{{base + "later", later, false}}));
}

TEST_F(EtcdWatcherTest, AWatchOfTheChangesToComeResumesWhereItStarted) {
    // One member only, so that the watch resumes only after the changes made while it was down.
    const int watched = cluster().leader() % 3 + 1;
    auto writer = client(watched % 3 + 1);
    const std::string base = prefix();
    WatchLog log;
    auto watcher = clientOf(watched)->watch(base, 0, log.callback());
    // Time for the watch to be created; nothing changes under the prefix meanwhile.
    std::this_thread::sleep_for(1s);

    kill(watched);
    auto during = write(*writer, base, 3);
    resume(watched);
    ASSERT_TRUE(log.waitForRevision(during.back().revision));
    EXPECT_EQ(changesOf(log.events()), during);
}

TEST_F(EtcdWatcherTest, AWatchStartedAtACompactedRevisionReportsItAtOnce) {
    auto etcd = client();
    const std::string base = prefix();
    const int64_t old = etcd->put(base + "k", "1", in(5s));
    const int64_t current = etcd->put(base + "k", "2", in(5s));
    etcd->compact(current, in(5s));

    WatchLog log;
    auto watcher = etcd->watch(base, old, log.callback());
    ASSERT_TRUE(log.waitFor([](const auto& updates) { return !updates.empty(); }));
    EXPECT_GE(log.updates().front().compactRevision, current);
    EXPECT_TRUE(log.events().empty());
}

TEST_F(EtcdWatcherTest, StopsPromptlyWhileEveryMemberItCouldUseIsDown) {
    auto etcd = clientOf(1);
    WatchLog log;
    auto watcher = etcd->watch(prefix(), 0, log.callback());
    stop(1);
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    watcher->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(watcher->ended());
}

// Many threads call at once while watches start and stop: under ThreadSanitizer this shows the
// client's shared state (preferred member, token, watcher state) free of races.
TEST_F(EtcdWatcherTest, ConcurrentCallsAndWatchesStressTheSharedClient) {
    auto etcd = client();
    const std::string base = prefix();
    const int64_t start = etcd->put(base + "seed", "s", in(5s));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string key = base + "t" + std::to_string(t);
            int64_t revision = 0;
            for (int i = 0; i < 25; ++i) {
                auto result = etcd->txn({EtcdCompare::modRevisionIs(key, revision)},
                                        {EtcdOp::put(key, std::to_string(i))}, {}, in(10s));
                if (!result.succeeded)
                    ++failures;
                revision = result.revision;
            }
        });
    }
    WatchLog log;
    auto watcher = etcd->watch(base, start + 1, log.callback());
    for (int i = 0; i < 10; ++i) {
        WatchLog shortLived;
        auto brief = etcd->watch(base, start + 1, shortLived.callback());
        std::this_thread::sleep_for(10ms);
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(log.waitFor([](const auto& updates) {
        std::size_t events = 0;
        for (const auto& update : updates)
            events += update.events.size();
        return events >= 100;
    }));
    auto events = log.events();
    EXPECT_EQ(events.size(), 100u);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), [](const auto& a, const auto& b) {
        return a.kv.modRevision < b.kv.modRevision;
    }));
}

}  // namespace
}  // namespace velkor::fleet::test
