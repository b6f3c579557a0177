#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "internals/ContainerAccess.h"
#include "support/ErrorOf.h"
#include "support/LibraryOnPrivateBus.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace std::chrono_literals;
using velkor::test::errorOf;
using Access = velkor::detail::ContainerAccess;

namespace {

/// Collects the events of one container's stream and waits for them.
class Events {
  public:
    explicit Events(const VKContainerPtr& container) {
        subscription_ = container->asObservable().subscribe([this](const VKContainerChange& e) {
            std::lock_guard lock(mutex_);
            events_.push_back(e.description() + pathOf(e));
            arrived_.notify_all();
        });
    }
    ~Events() { subscription_->dispose(); }

    /// The next event's text, waiting up to ten seconds; empty when none came.
    std::string next() {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, 10s, [&] { return read_ < events_.size(); }))
            return {};
        return events_[read_++];
    }

  private:
    static std::string pathOf(const VKContainerChange& e) {
        auto* d = e.get<VKContainerChange::DidDescendantChange>();
        return d ? " @" + d->path : "";
    }
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> events_;
    std::size_t read_ = 0;
    rx::DisposablePtr subscription_;
};

VKObjectPtr num(std::int64_t n) {
    return std::make_shared<VKNumber>(n);
}

class LibraryScenario : public ::testing::Test {
  protected:
    test::LogCapture logs;
    test::LibraryOnPrivateBus env{VELKORD_PATH};
    test::LibraryOnPrivateBus::Host a;
    test::LibraryOnPrivateBus::Host b;

    /// Opens "scenario" on both hosts, created by `a` from `tree`.
    std::pair<VKDictionaryPtr, VKDictionaryPtr> open(const VKDictionaryPtr& tree) {
        auto rootA =
            asDictionary(a.connection->openOrCreateSettings(tree, "scenario").rootContainer);
        auto rootB = asDictionary(
            b.connection->openOrCreateSettings(VKDictionary::make(), "scenario").rootContainer);
        return {rootA, rootB};
    }
};

}  // namespace

TEST_F(LibraryScenario, ArrayChangesReachTheOtherClientWithTheirPaths) {
    auto [rootA, rootB] =
        open(VKDictionary::make({{"list", VKArray::make({num(1), num(2), num(3)})}}));
    auto listB = asArray(rootB->get("list"));  // a proxy until read: resolved here
    ASSERT_NE(listB, nullptr);
    EXPECT_EQ(listB->count(), 3u);
    auto listA = asArray(rootA->get("list"));
    Events onList(listB);
    Events onRoot(rootB);

    listA->set(0, num(10));
    EXPECT_EQ(onList.next(), "didArrayChildReplace(index=0)");
    EXPECT_EQ(onRoot.next(), "didDescendantChange(path=list) @list");
    listA->insert(1, num(15));
    EXPECT_EQ(onList.next(), "didArrayChildAdd(index=1)");
    listA->append(num(4));
    EXPECT_EQ(onList.next(), "didArrayChildAdd(index=4)");
    listA->remove(2);
    EXPECT_EQ(onList.next(), "didArrayChildRemove(index=2)");
    listA->move(0, 3);
    EXPECT_EQ(onList.next(), "didArrayChildRemove(index=0)");
    EXPECT_EQ(onList.next(), "didArrayChildAdd(index=3)");

    std::vector<std::int64_t> seenByB;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(listB->count()); ++i)
        seenByB.push_back(listB->get(i, -1));
    std::vector<std::int64_t> seenByA;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(listA->count()); ++i)
        seenByA.push_back(listA->get(i, -1));
    EXPECT_EQ(seenByB, seenByA);
    EXPECT_EQ(seenByA, (std::vector<std::int64_t>{15, 3, 4, 10}));

    listA->removeAll();
    EXPECT_EQ(onList.next(), "didRemoveAll");
    EXPECT_EQ(listB->count(), 0u);
}

TEST_F(LibraryScenario, StaleWritesConflictOnOneKeyAndMergeOnDifferentKeys) {
    auto [rootA, rootB] = open(VKDictionary::make({{"k", num(0)}}));
    Events onB(rootB);
    auto staleRevision = rootB->revision();

    rootA->set("k", num(1));
    EXPECT_EQ(onB.next(), "didDictionaryChildReplace(key=k)");

    // B writes as if it had not seen A's change yet: the same key conflicts, and B's local
    // change is undone.
    Access::setRevision(*rootB, staleRevision);
    EXPECT_EQ(errorOf([&] { rootB->set("k", num(2)); }), VKError::synchronizeConflict);
    EXPECT_EQ(rootB->get("k", -1), 1);
    EXPECT_EQ(
        logs->count(LogLevel::error,
                    "There was dictionary synchronization conflict during set @ 'k' key (id="),
        1u);

    // Another key merges: both writes stand.
    Access::setRevision(*rootB, staleRevision);
    EXPECT_EQ(errorOf([&] { rootB->set("other", num(3)); }), std::nullopt);
    EXPECT_EQ(rootB->get("other", -1), 3);
    auto fresh = test::LibraryOnPrivateBus::Host();
    auto rootC = asDictionary(fresh.connection->getSetting("scenario", "", true));
    ASSERT_NE(rootC, nullptr);
    EXPECT_EQ(rootC->get("k", -1), 1);
    EXPECT_EQ(rootC->get("other", -1), 3);
}

TEST_F(LibraryScenario, LargeValuesTravelBothWays) {
    std::vector<std::uint8_t> bytes(4 << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    auto [rootA, rootB] = open(VKDictionary::make());
    Events onB(rootB);
    rootA->set("blob", std::make_shared<VKData>(bytes));
    EXPECT_EQ(onB.next(), "didDictionaryChildAdd(key=blob)");
    auto received = asData(rootB->get("blob"));
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(received->value(), bytes);
}

// Two clients append and remove at once. Whatever order their answers and the other's reports
// reach them in, each ends with what a fresh fetch shows.
TEST_F(LibraryScenario, ConcurrentEditsOfOneArrayEndAsTheDaemonOrderedThem) {
    auto [rootA, rootB] = open(VKDictionary::make({{"list", VKArray::make()}}));
    auto listA = asArray(rootA->get("list"));
    auto listB = asArray(rootB->get("list"));
    ASSERT_TRUE(listA && listB);
    auto edit = [](const VKArrayPtr& list, std::int64_t base) {
        for (std::int64_t i = 0; i < 150; ++i) {
            // A stale revision conflicts; the other client's report brings it up to date.
            for (int attempt = 0; attempt < 1000; ++attempt) {
                try {
                    if (i % 4 == 3 && list->count() > 0) {
                        list->remove(0);
                    } else {
                        list->append(num(base + i));
                    }
                    break;
                } catch (const VKError& e) {
                    if (e.code() == VKError::indexOutOfRange) {
                        break;  // the other client emptied the list meanwhile
                    }
                    ASSERT_EQ(e.code(), VKError::synchronizeConflict);
                    std::this_thread::yield();
                }
            }
        }
    };
    std::thread other([&] { edit(listB, 1000); });
    edit(listA, 0);
    other.join();

    test::LibraryOnPrivateBus::Host fresh;
    auto truth = asArray(fresh.connection->getSetting("scenario", "list", true));
    ASSERT_NE(truth, nullptr);
    auto texts = [](const VKArrayPtr& list) {
        std::vector<std::string> out;
        for (const auto& item : list->items())
            out.push_back(item->description());
        return out;
    };
    for (int i = 0; i < 1000 && (listA->revision() != truth->revision() ||
                                 listB->revision() != truth->revision());
         ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(listA->revision(), truth->revision());
    EXPECT_EQ(listB->revision(), truth->revision());
    EXPECT_EQ(texts(listA), texts(truth));
    EXPECT_EQ(texts(listB), texts(truth));
    EXPECT_EQ(logs->count(LogLevel::error, "Can't handle change from server"), 0u);
}

// The front door, as the README uses it: connect, a typed opener, typed setters, a scoped
// observer; and a monitor built from the same options.
TEST(FrontDoor, ConnectOpenAndObserveWithoutAContainer) {
    test::LogCapture logs;
    test::LibraryOnPrivateBus env{VELKORD_PATH};
    ConnectionOptions options{.busAddress = env.bus.address()};

    auto a = connect(options);
    auto mine = a->openDictionary("frontdoor");
    ASSERT_TRUE(mine->set("volume", 7));
    auto b = connect(options);
    auto theirs = b->openDictionary("frontdoor");
    EXPECT_EQ(theirs->get("volume", 0), 7);

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> seen;
    {
        Subscription watching = theirs->observe([&](const VKContainerChange& change) {
            std::lock_guard lock(mutex);
            seen.push_back(change.description());
            arrived.notify_all();
        });
        ASSERT_TRUE(mine->set("volume", 8));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] { return !seen.empty(); }));
    }
    EXPECT_EQ(theirs->get("volume", 0), 8);

    // Nobody owns this name and the bus cannot start it: a clear error at once.
    ConnectionOptions nobody = options;
    nobody.serviceName = "org.velkor.NobodyHere";
    EXPECT_EQ(errorOf([&] { (void)connect(nobody); }), VKError::cannotConnect);

    auto monitor = makeMonitor(options);
    monitor->bootstrapSettings(VKArray::make(), "frontdoor-list", VKOwnership::realUser(), 3,
                               100ms);
    VKConnectionPtr current;  // the monitor may publish from its own threads too
    auto following =
        scoped(monitor->observableConnection().subscribe([&](const VKConnectionPtr& connection) {
            std::lock_guard lock(mutex);
            current = connection;
        }));
    VKConnectionPtr published;
    {
        std::lock_guard lock(mutex);
        published = current;
    }
    ASSERT_NE(published, nullptr);
    EXPECT_EQ(published->openArray("frontdoor-list")->count(), 0u);
    a->dispose();
    b->dispose();
}

// A Settings handle across a daemon restart: while velkord is away another daemon on the same
// store (under another name, which the handle does not follow) changes the file; when velkord
// is back the handle reopens it, its observers get one Reloaded with what changed, and then hear
// later changes without subscribing again.
TEST(SettingsHandle, FollowsTheDaemonAcrossARestartAndTellsWhatChangedMeanwhile) {
    test::LogCapture logs;
    test::LibraryOnPrivateBus env{VELKORD_PATH};
    ConnectionOptions options{.busAddress = env.bus.address()};
    auto change = [](const ConnectionOptions& via, auto&& edit) {
        auto connection = connect(via);
        edit(*connection->openDictionary("handle"));
        connection->dispose();
    };
    change(options, [](VKDictionary& root) {
        ASSERT_TRUE(root.set("kept", 1) && root.set("changed", 1) && root.set("removed", 1));
    });

    auto settings = Settings::open(options, "handle");
    ASSERT_NE(settings->current(), nullptr);
    EXPECT_EQ(settings->current()->get("changed", 0), 1);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Settings::Event> events;
    Subscription watching = settings->observe([&](const Settings::Event& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        arrived.notify_all();
    });
    auto waitFor = [&](auto matches) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 20s,
                                [&] { return std::any_of(events.begin(), events.end(), matches); });
    };

    auto daemon = env.daemon->settings();
    env.daemon->stop();
    ASSERT_TRUE(waitFor(
        [](const Settings::Event& e) { return std::holds_alternative<Settings::Lost>(e); }));
    EXPECT_EQ(settings->current(), nullptr);
    {
        auto elsewhere = daemon;
        elsewhere.serviceName = "org.velkor.Elsewhere";
        test::TestDaemon other(elsewhere);
        ConnectionOptions there = options;
        there.serviceName = elsewhere.serviceName;
        change(there, [](VKDictionary& root) {
            ASSERT_TRUE(root.set("changed", 2) && root.set("added", 1));
            root.remove("removed");
        });
    }
    env.daemon = std::make_unique<test::TestDaemon>(daemon);

    ASSERT_TRUE(waitFor(
        [](const Settings::Event& e) { return std::holds_alternative<Settings::Reloaded>(e); }));
    auto root = settings->current();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->get("changed", 0), 2);
    change(options, [](VKDictionary& root) { ASSERT_TRUE(root.set("kept", 3)); });
    ASSERT_TRUE(waitFor([](const Settings::Event& e) {
        const auto* event = std::get_if<VKContainerChange>(&e);
        return event && event->get<VKContainerChange::DidDictionaryChildReplace>();
    }));
    EXPECT_EQ(root->get("kept", 0), 3);

    std::lock_guard lock(mutex);
    std::vector<const Settings::Reloaded*> reloads;
    for (const auto& event : events) {
        if (const auto* reloaded = std::get_if<Settings::Reloaded>(&event))
            reloads.push_back(reloaded);
    }
    ASSERT_EQ(reloads.size(), 1u);
    EXPECT_EQ(reloads[0]->root, root);
    EXPECT_EQ(reloads[0]->added, std::vector<std::string>{"added"});
    EXPECT_EQ(reloads[0]->removed, std::vector<std::string>{"removed"});
    EXPECT_EQ(reloads[0]->changed, std::vector<std::string>{"changed"});
}
