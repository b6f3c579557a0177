#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/BlockingQueue.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

using namespace velkor;
using namespace std::chrono_literals;
using namespace velkor::test;

namespace {

/// Whether an event that `matches` arrives on `queue` within 20 seconds; skips the others.
template <typename T, typename F>
bool arrives(BlockingQueue<T>& queue, F matches) {
    while (auto event = queue.next(20s)) {
        if (matches(*event))
            return true;
    }
    return false;
}

VKObjectPtr num(std::int64_t n) {
    return std::make_shared<VKNumber>(n);
}

/// Whether `copy` holds the very entries of `stored`, values compared in depth.
bool sameItems(const VKDictionary& copy, const VKDictionary::Items& stored) {
    const auto held = copy.items();
    return held.size() == stored.size() &&
           std::all_of(stored.begin(), stored.end(), [&](const auto& item) {
               return held.contains(item.first) && equalValues(held.at(item.first), item.second);
           });
}

/// Whether `holds()` comes true within `limit`, looked at every few milliseconds.
template <typename F>
bool eventually(F holds, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!holds() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return holds();
}

/// The next event of type E on `events` within 20 seconds; skips the others.
template <typename E>
std::optional<E> nextOf(BlockingQueue<Settings::Event>& events) {
    while (auto event = events.next(20s)) {
        if (const auto* e = std::get_if<E>(&*event))
            return *e;
    }
    return std::nullopt;
}

/// velkord on a private bus with a store of its own.
struct DaemonOnBus {
    ~DaemonOnBus() {
        daemon.reset();
        std::filesystem::remove_all(directory);
    }
    std::filesystem::path directory = [] {
        auto path =
            std::filesystem::temp_directory_path() / ("velkor-" + UUID::random().description());
        std::filesystem::create_directories(path);
        return path;
    }();
    PrivateBus bus;
    TestDaemon::Settings settings{VELKORD_PATH, bus.address(), (directory / "db").string()};
    std::unique_ptr<TestDaemon> daemon = std::make_unique<TestDaemon>(settings);
    // A generous time-out: 4 MiB take seconds under the sanitizers.
    ConnectionOptions options{.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 60s};
};

/// velkord on a private bus, and two clients of it.
struct LibraryScenario : ::testing::Test, DaemonOnBus {
    ~LibraryScenario() override {
        a->dispose();
        b->dispose();
    }
    LogCapture logs;
    VKConnectionPtr a = connect(options), b = connect(options);
};

}  // namespace

// Two clients on one file: a change reaches the other with its path, a large value travels
// whole, a file is opened only as what it is, a third client fetches what they made.
TEST_F(LibraryScenario, TwoClientsEditOneFile) {
    auto tree = VKDictionary::make({{"list", VKArray::make({num(1), num(2)})}});
    auto rootA = a->openDictionary(tree, "scenario");
    auto rootB = b->openDictionary("scenario");
    auto listB = asArray(rootB->get("list"));  // a proxy until read: resolved here
    ASSERT_NE(listB, nullptr);
    BlockingQueue<VKContainerChange> onRoot;
    Subscription watching = rootB->observe([&](const auto& e) { onRoot.push(e); });
    asArray(rootA->get("list"))->set(0, num(10));
    EXPECT_EQ(onRoot.next().value().description(), "didDescendantChange(path=list)");
    EXPECT_EQ(listB->get(0, -1), 10);

    EXPECT_EQ(b->openArray("arrays")->count(), 0u);
    EXPECT_EQ(errorOf([&] { (void)a->openDictionary("arrays"); }), VKError::invalidData);
    EXPECT_EQ(errorOf([&] { (void)a->getSettingAs<VKDictionary>("scenario", "list"); }),
              VKError::invalidData);
    // Nobody owns this name: a clear error at once, and the log says why.
    ConnectionOptions nobody{.serviceName = "org.velkor.NobodyHere", .busAddress = bus.address()};
    EXPECT_EQ(errorOf([&] { (void)connect(nobody); }), VKError::cannotConnect);
    EXPECT_TRUE(logs->contains(LogLevel::error, "'org.velkor.NobodyHere' is neither on the bus"));

    std::vector<std::uint8_t> bytes(4 << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    rootA->set("blob", std::make_shared<VKData>(bytes));
    EXPECT_EQ(onRoot.next(60s).value().description(), "didDictionaryChildAdd(key=blob)");
    ASSERT_NE(asData(rootB->get("blob")), nullptr);
    EXPECT_EQ(asData(rootB->get("blob"))->value(), bytes);
    EXPECT_EQ(asArray(connect(options)->getSetting("scenario", "list", true))->get(0, -1), 10);
}

// A Settings handle across a daemon restart: while velkord is away another daemon on the same
// store (under another name, which the handle does not follow) changes the file; when velkord
// is back the handle reopens it, its observers get one Reloaded with what changed, and then hear
// later changes without subscribing again.
TEST_F(LibraryScenario, ASettingsHandleFollowsTheDaemonAcrossARestart) {
    auto change = [](const ConnectionOptions& via, auto&& edit) {
        auto connection = connect(via);
        edit(*connection->openDictionary("handle"));
        connection->dispose();
    };
    auto nested = [](std::int64_t n) -> VKObjectPtr {
        return VKDictionary::make({{"x", VKDictionary::make({{"y", num(n)}})}});
    };
    change(options, [&](VKDictionary& root) {
        ASSERT_TRUE(root.set("kept", 1) && root.set("changed", 1) && root.set("removed", 1));
        root.set("nested", nested(1));
        EXPECT_TRUE(asContainer(root.get("nested"))->onServer()) << "a stored container joins";
        root.set("list", VKArray::make({num(1)}));
    });
    auto handle = Settings::open(options, "handle");
    ASSERT_NE(handle->current(), nullptr);
    BlockingQueue<Settings::Event> events;
    std::atomic<int> reloads{0};
    Subscription watching = handle->observe([&](const Settings::Event& e) {
        reloads += std::holds_alternative<Settings::Reloaded>(e);
        events.push(e);
    });

    daemon->stop();
    ASSERT_TRUE(nextOf<Settings::Lost>(events));
    EXPECT_EQ(handle->current(), nullptr);
    {
        ConnectionOptions there{.serviceName = "org.velkor.Elsewhere", .busAddress = bus.address()};
        TestDaemon other({VELKORD_PATH, bus.address(), settings.database, {}, there.serviceName});
        change(there, [&](VKDictionary& root) {  // values compared in depth, kinds too
            ASSERT_TRUE(root.set("changed", "1") && root.set("added", 1));
            root.set("nested", nested(2));
            root.remove("removed");
        });
    }
    daemon = std::make_unique<TestDaemon>(settings);

    auto reloaded = nextOf<Settings::Reloaded>(events);
    ASSERT_TRUE(reloaded);
    auto root = handle->current();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(reloaded->root, root);
    EXPECT_EQ(reloaded->added, std::vector<std::string>{"added"});
    EXPECT_EQ(reloaded->removed, std::vector<std::string>{"removed"});
    EXPECT_EQ(reloaded->changed, (std::vector<std::string>{"changed", "nested"}));
    change(options, [](VKDictionary& root) { ASSERT_TRUE(root.set("kept", 3)); });
    ASSERT_TRUE(arrives(events, [](const Settings::Event& e) {
        const auto* event = std::get_if<VKContainerChange>(&e);
        return event && event->get<VKContainerChange::DidDictionaryChildReplace>();
    }));
    EXPECT_EQ(root->get("kept", 0), 3);
    EXPECT_EQ(reloads.load(), 1);

    // Deleted by another client: the deleted root is no longer handed out as the file; the
    // handle creates the file again, as it does when it opens a missing one, and what it hands
    // out then is stored.
    connect(options)->deleteSettings("handle");
    ASSERT_TRUE(arrives(events, [](const Settings::Event& e) {
        const auto* event = std::get_if<VKContainerChange>(&e);
        return event && event->get<VKContainerChange::DidDelete>();
    }));
    reloaded = nextOf<Settings::Reloaded>(events);
    ASSERT_TRUE(reloaded);
    EXPECT_NE(reloaded->root, root);
    EXPECT_EQ(reloaded->root, handle->current());
    EXPECT_EQ(reloaded->root->count(), 0u);
    EXPECT_EQ(reloaded->removed.size(), root->count());
    ASSERT_TRUE(handle->current()->set("again", 4));
    EXPECT_EQ(connect(options)->openDictionary("handle")->get("again", 0), 4);
}

// velkord abandons a client's copy of a file when the notice of a change would pass its answer
// limit, and tells it nothing more of that file until the client fetches it again. The client
// does: its copy equals a fresh fetch, its observers hear the change, later changes reach it,
// and none of its own changes made meanwhile was reported a success without being stored. The
// same holds for a container below the root, whose change the root then hears of at its path.
TEST_F(LibraryScenario, AnAbandonedCopyIsFetchedAgainAndTakesNoChangeTheStoreLacks) {
    constexpr std::int64_t kLimit = 64 * 1024;
    daemon.reset();
    settings.arguments = {"--max-file-size", "64K", "--max-answer-size", "64K"};
    daemon = std::make_unique<TestDaemon>(settings);
    auto reader = connect(options), writer = connect(options);
    auto mine = reader->openDictionary("abandoned");
    auto theirs = writer->openDictionary("abandoned");
    BlockingQueue<VKContainerChange> heard;
    Subscription watching = mine->observe([&](const auto& e) { heard.push(e); });

    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> lastStored{0};
    std::thread changing([&] {
        // Until told to stop, and at least until one change was stored (a loaded machine may
        // see the whole exchange below pass before any of them was accepted).
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (std::int64_t n = 1;
             !stop || (lastStored == 0 && std::chrono::steady_clock::now() < deadline); ++n) {
            if (mine->set("n", n))
                lastStored = n;
        }
    });
    // The file stays within the limit; the notice, with a record's overhead, passes it.
    const std::vector<std::uint8_t> big(kLimit - 450, 7);
    auto added = [&](const std::string& key) {
        return arrives(heard, [&](const VKContainerChange& e) {
            const auto* added = e.get<VKContainerChange::DidDictionaryChildAdd>();
            return added && added->key == key;
        });
    };
    theirs->set("big", std::make_shared<VKData>(big));
    EXPECT_TRUE(added("big"));
    ASSERT_TRUE(theirs->set("after", 1));
    EXPECT_TRUE(added("after"));
    stop = true;
    changing.join();

    EXPECT_GT(lastStored.load(), 0);
    auto fresh = connect(options)->getSettingAs<VKDictionary>("abandoned", {}, true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->get("n", -1), lastStored.load());
    EXPECT_TRUE(sameItems(*mine, fresh->items()));
    EXPECT_TRUE(mine->onServer());

    // A container below the root abandoned likewise: once fetched again, its observers hear what
    // changed, and then the root's observers hear of it at its path.
    auto tree = VKDictionary::make({{"sub", VKDictionary::make({{"k", num(1)}})}});
    auto theirsBelow = writer->openDictionary(tree, "abandonedchild");
    auto mineBelow = reader->openDictionary("abandonedchild");
    auto sub = asDictionary(mineBelow->get("sub"));
    ASSERT_NE(sub, nullptr);
    BlockingQueue<std::string> told;
    Subscription onSub = sub->observe([&](const auto& e) { told.push("sub " + e.description()); });
    Subscription onRoot =
        mineBelow->observe([&](const auto& e) { told.push("root " + e.description()); });
    asDictionary(theirsBelow->get("sub"))
        ->set("big", std::make_shared<VKData>(std::vector<std::uint8_t>(kLimit - 300, 7)));
    EXPECT_EQ(told.next(20s), "sub didDictionaryChildAdd(key=big)");
    EXPECT_EQ(told.next(20s), "root didDescendantChange(path=sub)");
    reader->dispose();
    writer->dispose();
}

// Files opened while another client keeps adding to them: the daemon reports a change right after
// the answer that sent the file, which the opening client may not have decoded by then. Each
// opened copy ends equal to the store's, whatever the order.
TEST_F(LibraryScenario, CopiesOpenedWhileAnotherClientWritesCatchUp) {
    auto writing = a->openDictionary("opened");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::int64_t n = 0; !stop; ++n)
            (void)writing->set("k" + std::to_string(n), n);
    });
    std::vector<VKConnectionPtr> openers;
    std::vector<std::shared_ptr<VKDictionary>> copies;
    for (int i = 0; i < 12; ++i) {
        openers.push_back(connect(options));
        copies.push_back(openers.back()->openDictionary("opened"));
        std::this_thread::sleep_for(30ms);
    }
    stop = true;
    writer.join();

    const auto stored = b->getSettingAs<VKDictionary>("opened", {}, true)->items();
    for (std::size_t i = 0; i < copies.size(); ++i) {
        EXPECT_TRUE(eventually([&] { return sameItems(*copies[i], stored); }))
            << "copy " << i << " holds " << copies[i]->items().size() << " of " << stored.size()
            << " keys";
    }
    for (auto& opener : openers)
        opener->dispose();
}

// velkord stopped (SIGSTOP) costs a caller its request time-out and no more, on either path:
// connecting does not wait for the daemon, the first requests wait for the hand-out of a direct
// channel within their own time-outs, not on top of them, and an opening that waits for another
// one on the same connection waits within its time-out too; so do a monitor's first opening and
// a first observer.
// Once velkord runs again, the connection made while it was stopped is served.
TEST_F(LibraryScenario, AStoppedDaemonCostsACallItsTimeOutAndNoMore) {
    ConnectionOptions quick{.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 2s};
    const auto bound = quick.requestTimeout + 1500ms;
    auto held = connect(quick)->openDictionary("stoppedHeld");
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{daemon->pid()};
    ASSERT_EQ(kill(daemon->pid(), SIGSTOP), 0);
    auto started = std::chrono::steady_clock::now();
    auto connection = connect(quick);
    onThreads(2, [&](int t) {
        EXPECT_EQ(errorOf([&] { (void)connection->getSetting("stopped" + std::to_string(t)); }),
                  VKError::connectionLost);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - started, bound);

    started = std::chrono::steady_clock::now();
    auto monitor = makeMonitor(quick);
    EXPECT_EQ(errorOf([&] {
                  monitor->bootstrapSettings(VKDictionary::make(), "stopped",
                                             VKOwnership::effectiveUser(), 1, 0);
              }),
              VKError::connectionLost);
    EXPECT_LT(std::chrono::steady_clock::now() - started, bound);

    // A first observer: the report that fails and its withdrawal share one time-out, and the
    // observer hears the failure.
    started = std::chrono::steady_clock::now();
    std::promise<void> failed;
    Subscription watching =
        held->observe([](const auto&) {}, [&](rx::Error) { failed.set_value(); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, bound);
    EXPECT_EQ(failed.get_future().wait_for(bound), std::future_status::ready);

    // A change that got no answer in time: velkord takes it once it runs again, and the copy,
    // which may not show what velkord may not have, comes to show it with no further call.
    EXPECT_FALSE(held->set("late", 1));
    EXPECT_EQ(held->get("late", -1), -1);

    ASSERT_EQ(kill(daemon->pid(), SIGCONT), 0);
    EXPECT_EQ(errorOf([&] { (void)connection->getSetting("stopped"); }), VKError::fileDoesNotExist);
    EXPECT_TRUE(eventually([&] { return held->get("late", -1) == 1; }, 10s));
}

// Connections used, or disposed, at once while their transports are still asking for a direct
// channel, on several threads: each request is answered on the path chosen, and a disposal
// meanwhile ends the transport cleanly (this runs under ThreadSanitizer too).
TEST_F(LibraryScenario, ConnectionsUsedOrDisposedWhileTheirPathIsChosen) {
    onThreads(4, [&](int t) {
        for (int i = 0; i < 10; ++i) {
            auto connection = connect(options);
            if (i % 2 == 1) {
                connection->dispose();
                continue;
            }
            EXPECT_EQ(errorOf([&] { (void)connection->getSetting("path" + std::to_string(t)); }),
                      VKError::fileDoesNotExist);
        }
    });
}

namespace {

// The project's main stress scenario, with a daemon of its own and no log capture, whose lock
// would hold its clients back.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSetsPerClient = 60;
#else
constexpr int kSetsPerClient = 1000;
#endif
/// Keys of the shared file that every client writes.
constexpr int kCommonKeys = 8;

int clientCount() {
    const char* n = std::getenv("VELKOR_STRESS_CLIENTS");
    return n ? std::atoi(n) : 32;
}

std::map<std::string, std::int64_t> numbers(VKDictionary& dictionary) {
    std::map<std::string, std::int64_t> values;
    for (const auto& [key, value] : dictionary.items()) {
        if (auto number = std::dynamic_pointer_cast<VKNumber>(value))
            values[key] = number->value();
    }
    return values;
}

/// One client thread's connection, its two files, what it was told and what was accepted.
struct Client {
    int index;
    VKConnectionPtr connection;
    std::shared_ptr<VKDictionary> own, shared;
    Subscription watching;
    std::mutex toldLock;
    /// The shared file as its observer saw it: each event's key with the value read then.
    std::map<std::string, std::int64_t> told;
    std::map<std::string, std::set<std::int64_t>> accepted;
    std::int64_t lastOwn = -1, lastMine = -1;
    std::vector<std::string> failures;
};

std::string keyOf(const VKContainerChange& change) {
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildAdd>())
        return e->key;
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildReplace>())
        return e->key;
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildRemove>())
        return e->key;
    return {};
}

void run(Client& c) {
    for (int n = 0; n < kSetsPerClient; ++n) {
        std::string key;
        VKDictionary* file = c.shared.get();
        std::int64_t value = n;
        switch (n % 3) {
            case 0:
                key = "v", file = c.own.get();
                break;
            case 1:
                key = "c" + std::to_string(c.index);
                break;
            default:
                key = "k" + std::to_string((n / 3) % kCommonKeys);
                value = c.index * 1'000'000 + n;
        }
        try {
            file->set(key, std::make_shared<VKNumber>(value));
            if (file == c.own.get())
                c.lastOwn = value;
            else if (key[0] == 'c')
                c.lastMine = value;
            else
                c.accepted[key].insert(value);
        } catch (const VKError& e) {
            // Two clients writing one key from the same revision: one of them loses, rightly.
            if (e.code() != VKError::synchronizeConflict || key[0] != 'k')
                c.failures.push_back(key + ": " + std::string(e.description()));
        }
    }
}

}  // namespace

// Many busy clients of one user on one machine: each writes a file of its own, a key of its own
// in a file all share, and keys every client writes. None may be cut off or lose a write, and
// every copy ends equal to the daemon's, with every change told.
TEST(ManyClients, BusyClientsLoseNothingAndConverge) {
    DaemonOnBus velkord;
    const auto& options = velkord.options;
    std::vector<std::unique_ptr<Client>> clients;
    connect(options)->openDictionary("stress.shared");
    for (int i = 0; i < clientCount(); ++i) {
        auto c = std::make_unique<Client>();
        c->index = i;
        c->connection = connect(options);
        c->own = c->connection->openDictionary("stress.own" + std::to_string(i));
        c->shared = c->connection->openDictionary("stress.shared");
        c->watching = c->shared->observe([c = c.get()](const VKContainerChange& change) {
            const auto key = keyOf(change);
            if (key.empty())
                return;
            const std::int64_t value = c->shared->get(key, std::int64_t{-1});
            std::lock_guard lock(c->toldLock);
            c->told[key] = value;
        });
        clients.push_back(std::move(c));
    }
    {
        std::vector<std::jthread> threads;
        for (auto& c : clients)
            threads.emplace_back([&c] { run(*c); });
    }

    auto checker = connect(options);
    auto stored = numbers(*checker->getSettingAs<VKDictionary>("stress.shared", {}, true));
    for (auto& c : clients) {
        SCOPED_TRACE("client " + std::to_string(c->index));
        EXPECT_TRUE(c->failures.empty())
            << c->failures.size() << " failed, first " << c->failures[0];
        // Every acknowledged write is in the store: the last one of each key nobody else writes.
        auto own = checker->getSettingAs<VKDictionary>("stress.own" + std::to_string(c->index));
        EXPECT_EQ(own->get("v", std::int64_t{-1}), c->lastOwn);
        EXPECT_EQ(stored["c" + std::to_string(c->index)], c->lastMine);
    }
    for (int k = 0; k < kCommonKeys; ++k) {
        const auto key = "k" + std::to_string(k);
        bool acceptedSomewhere = false;
        for (auto& c : clients)
            acceptedSomewhere |= c->accepted[key].contains(stored[key]);
        EXPECT_TRUE(acceptedSomewhere) << key << " holds " << stored[key] << ", never accepted";
    }

    // Every copy converges on the store's, and every observer heard the last change of each key.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (auto& c : clients) {
        SCOPED_TRACE("client " + std::to_string(c->index));
        auto told = [&] {
            std::lock_guard lock(c->toldLock);
            auto seen = c->told;
            // Its own writes are not told back to it.
            seen["c" + std::to_string(c->index)] = c->lastMine;
            for (int k = 0; k < kCommonKeys; ++k) {
                const auto key = "k" + std::to_string(k);
                if (c->accepted[key].contains(stored[key]))
                    seen[key] = stored[key];
            }
            return seen;
        };
        while (std::chrono::steady_clock::now() < deadline &&
               (numbers(*c->shared) != stored || told() != stored))
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(numbers(*c->shared), stored);
        EXPECT_EQ(told(), stored);
        EXPECT_EQ(c->own->get("v", std::int64_t{-1}), c->lastOwn);
    }
    for (auto& c : clients) {
        c->watching = {};
        c->connection->dispose();
    }
}
