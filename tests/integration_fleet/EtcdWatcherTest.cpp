#include <algorithm>
#include <thread>

#include "FleetTesting.h"

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
        const std::string key = base + std::to_string(i % 4 == 3 ? i - 1 : i);
        if (i % 4 == 3)
            written.push_back({key, etcd.remove(key, in(5s)), true});
        else
            written.push_back({key, etcd.put(key, "v" + std::to_string(i), in(5s)), false});
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
    for (const auto& update : log.updates())
        EXPECT_TRUE(update.events.empty() || update.revision >= update.events.back().kv.modRevision)
            << update.revision;
    watcher->stop();
    EXPECT_TRUE(watcher->ended());
}

// A watch that starts far behind gets the changes since in several updates (etcd sends at most a
// thousand revisions at once, and says its current revision with each). An update's revision is
// where its owner may resume after a restart, so every change up to it must have been delivered
// by then: none that comes later is at or below it.
TEST_F(EtcdWatcherTest, AWatchFarBehindResumesFromNoRevisionItHasNotDelivered) {
    auto writer = client();
    const std::string base = prefix();
    const int64_t start = writer->put(base + "seed", "s", in(5s));
    constexpr int kChanges = 1200;
    constexpr int kThreads = 4;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int i = t; i < kChanges; i += kThreads)
                writer->put(base + std::to_string(i), "v", in(10s));
        });
    for (auto& thread : writers)
        thread.join();
    const int64_t last = writer->put(base + "last", "l", in(5s));

    WatchLog log;
    auto watcher = client()->watch(base, start + 1, log.callback());
    // 1,200 changes to catch up with: on a loaded machine under ThreadSanitizer that took more
    // than the usual 15 s.
    ASSERT_TRUE(log.waitForRevision(last, 60s));
    const auto updates = log.updates();
    const auto withEvents = std::count_if(
        updates.begin(), updates.end(), [](const auto& update) { return !update.events.empty(); });
    EXPECT_GT(withEvents, 1) << "the changes came in one update; the test shows nothing";
    EXPECT_EQ(log.events().size(), std::size_t(kChanges + 1));
    for (std::size_t u = 0; u < updates.size(); ++u)
        for (std::size_t later = u + 1; later < updates.size(); ++later)
            for (const auto& event : updates[later].events)
                ASSERT_GT(event.kv.modRevision, updates[u].revision)
                    << "update " << u << " said revision " << updates[u].revision
                    << " was delivered";
    watcher->stop();
}

// Watches that use one member only, so that while it is down they cannot resume elsewhere. A
// watch of the changes to come resumes where it started, with the changes made while its member
// was down; one whose next revision is compacted meanwhile reports it and ends, as does one
// started at a compacted revision, and its owner reads afresh and watches on from there; one
// whose member is down stops promptly.
TEST_F(EtcdWatcherTest, WatchesOfOneMemberResumeWhereTheyWereOrReportACompaction) {
    const int watched = cluster().leader() % 3 + 1;
    auto writer = client(watched % 3 + 1);
    const std::string base = prefix();
    const int64_t start = writer->put(base + "seed", "s", in(5s));
    // A follower may not have applied the seed yet, and a watch of the changes to come starts at
    // the revision its member has: a linearizable read through that member waits until it has.
    auto onWatched = client(watched, 1);
    ASSERT_EQ(onWatched->getPrefix(base, in(5s)).revision, start);
    WatchLog toCome, log;
    auto fromNow = onWatched->watch(base, 0, toCome.callback());
    auto watcher = client(watched, 1)->watch(base, start + 1, log.callback());
    // Time for the watches to be created; nothing changes under the prefix meanwhile.
    std::this_thread::sleep_for(1s);

    kill(watched);
    auto before = write(*writer, base, 3);
    resume(watched);
    ASSERT_TRUE(toCome.waitForRevision(before.back().revision));
    EXPECT_EQ(changesOf(toCome.events()), before);
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
    // Reads of a compacted revision fail as such; a watch started there reports the compaction
    // at once and delivers nothing.
    EXPECT_EQ(etcdKindOf([&] { writer->get(base + "seed", in(5s), start); }),
              EtcdError::Kind::compacted);
    EXPECT_EQ(writer->get(base + "5", in(5s), during.back().revision).kvs.at(0).value, "v5");
    WatchLog late;
    auto fromCompacted = writer->watch(base, start + 1, late.callback());
    ASSERT_TRUE(late.waitFor([](const auto& updates) { return !updates.empty(); }));
    EXPECT_GE(late.updates().front().compactRevision, during.back().revision);
    EXPECT_TRUE(late.events().empty());

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

    WatchLog idle;
    auto stopping = client(watched, 1)->watch(base, 0, idle.callback());
    stop(watched);
    std::this_thread::sleep_for(300ms);
    const auto begin = std::chrono::steady_clock::now();
    stopping->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(stopping->ended());
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
