#include <gtest/gtest.h>

#include <thread>

#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "support/BlockingQueue.h"
#include "support/DaemonBlobWriter.h"
#include "support/ErrorOf.h"
#include "support/FakeDaemon.h"
#include "support/LogCapture.h"
#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace velkor::test;
using Request = ClientRequest;
using Blobs = DaemonBlobWriter;
using Log = BlockingQueue<std::string>;

namespace {

ChangeNotificationPtr change(ChangeType type, const UUID& id, std::string key = "k") {
    return std::make_shared<VKChangeNotification>(type, id, 1, 0, 0, std::move(key),
                                                  std::vector<std::uint8_t>{});
}
ServerResponse fetched(const Blobs& w) {
    return ServerResponse::SettingsFetched{w.blob()};
}
ServerResponse failed(VKError e) {
    return ServerResponse::RequestHasFailed{e};
}
const ServerResponse kSucceeded = ServerResponse::RequestSucceeded{};

/// Polls `condition` for up to 10 seconds; for waiting on other threads' work.
template <typename F>
bool eventually(F condition) {
    for (int i = 0; i < 10000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

/// A container that logs the path of each change the daemon reports to it (a change of the key
/// "throw" fails), under its write lock as client containers apply changes.
class RecordingDictionary final : public VKDictionaryBase {
  public:
    explicit RecordingDictionary(std::shared_ptr<Log> log)
        : VKDictionaryBase(4), log_(std::move(log)) {
        static constexpr ContainerHooks hooks{.handleChangeFromServer = &record};
        detail::ContainerAccess::setHooks(*this, hooks);
    }
    std::string description() const override { return "recording"; }
    static void record(VKContainer& self, const VKChangeNotification& change,
                       const std::string& path) {
        auto& d = static_cast<RecordingDictionary&>(self);
        d.withWriteItemsLock([&] {
            if (change.key == "throw")
                throw VKError(VKError::invalidData);
            d.log_->push(path);
        });
    }

  private:
    std::shared_ptr<Log> log_;
};

/// A connection over a FakeDaemon, built through the dependency container as the library does;
/// by default its container events wait on a virtual-time scheduler.
struct Harness {
    explicit Harness(rx::SchedulerPtr events = nullptr,
                     std::chrono::nanoseconds timeout = ConnectionImpl::kRequestTimeout) {
        services.registerFactory<ConnectionToServer>(
            [d = daemon](const di::Resolver&) { return d; });
        impl = ConnectionImpl::make(*services.synchronize(), events ? events : scheduler, timeout);
    }
    // The connection goes first, once the daemon's thread is idle: a callback there may hold the
    // connection's last reference, and the daemon dropped on its own thread would join itself.
    ~Harness() {
        impl->dispose();
        scheduler->runAll();
        daemon->waitUntilIdle();
        impl.reset();
    }
    /// Registers a recording container of the file whose root is `root`.
    std::shared_ptr<RecordingDictionary> attach(const UUID& root) {
        auto c = std::make_shared<RecordingDictionary>(log);
        detail::ContainerAccess::setRootId(*c, root);
        impl->registryOfContainers().registerContainer(c);
        return c;
    }
    /// The `index`th request the daemon received (by default the last), which must be a T.
    template <typename T>
    T request(std::size_t index = SIZE_MAX) const {
        auto all = daemon->requests();
        const T* r = all.at(std::min(index, all.size() - 1)).payload.template get<T>();
        return r ? *r : throw std::logic_error("not the expected request");
    }
    std::size_t sent() const { return daemon->requests().size(); }
    /// Queues `answers` for the next requests, in order.
    void answer(const std::vector<ServerResponse>& answers) {
        for (const auto& each : answers)
            daemon->answerNext(each);
    }
    /// Queues `answers` and runs `call`; gives its error, checking that it sent one request for
    /// each answer.
    template <typename F>
    std::optional<VKError::Code> failure(std::vector<ServerResponse> answers, F call) {
        const auto before = sent();
        answer(answers);
        auto error = errorOf(call);
        EXPECT_EQ(sent() - before, answers.size());
        return error;
    }

    LogCapture logs;
    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    std::shared_ptr<FakeDaemon> daemon = FakeDaemon::make();
    di::Container services;
    std::shared_ptr<ConnectionImpl> impl;
    std::shared_ptr<Log> log = std::make_shared<Log>();
};

}  // namespace

// Create a missing file, find it again without asking, delete it (which detaches every container
// of that file), create it anew, lose it to another client's deletion, and create it once more;
// then open what the daemon has.
TEST(Connection, FilesAreCreatedFoundDeletedReopenedAndFetched) {
    Harness h;
    VKConnection& connection = *h.impl;
    auto root = VKDictionary::make();
    auto open = [&](const VKDictionaryPtr& tree) {
        h.answer({failed(VKError::fileDoesNotExist), kSucceeded});
        return connection.openOrCreateSettings(tree, "Prefs", VKOwnership::user(501));
    };
    auto opened = open(root);
    EXPECT_TRUE(!opened.isExist && opened.rootContainer == root && root->onServer());
    auto again = connection.openOrCreateSettings(root, "prefs", VKOwnership::user(501));
    EXPECT_TRUE(again.isExist && again.rootContainer == root);
    EXPECT_EQ(h.sent(), 2u) << "a live root is found without a request";

    auto child = h.attach(root->id());
    auto foreign = h.attach(UUID::random());
    h.daemon->answerNext(ServerResponse::SettingsDeleted{root->id()});
    connection.deleteSettings("PREFS", VKOwnership::user(501));
    EXPECT_FALSE(root->onServer() || child->onServer());
    EXPECT_TRUE(foreign->onServer()) << "containers of other files stay attached";
    EXPECT_EQ(h.impl->registryOfContainers().tryFind(root->id()), nullptr);
    auto fresh = VKDictionary::make();
    EXPECT_EQ(open(fresh).rootContainer, fresh);

    // Another client deletes it: the file's containers are detached, each gets didDelete on the
    // connection's scheduler, and the next opening asks the daemon rather than handing out a root
    // whose writes would stay local.
    auto freshChild = h.attach(fresh->id());
    std::atomic<int> deletes{0};
    auto count = [&](const VKContainerChange& e) {
        deletes += e.get<VKContainerChange::DidDelete>() != nullptr;
    };
    Subscription w1 = fresh->observe(count), w2 = freshChild->observe(count),
                 w3 = foreign->observe(count);
    h.daemon->pushNoteChanges({change(ChangeType::settingsDeleted, fresh->id())}, {""});
    ASSERT_TRUE(eventually([&] { return !fresh->onServer() && !freshChild->onServer(); }));
    EXPECT_TRUE(foreign->onServer());
    EXPECT_EQ(deletes.load(), 0) << "events wait for the connection's scheduler";
    EXPECT_TRUE(eventually([&] {
        h.scheduler->runAll();
        return deletes.load() >= 2;
    }));
    h.scheduler->runAll();
    EXPECT_EQ(deletes.load(), 2) << "one event for each container of the deleted file";
    auto third = VKDictionary::make();
    EXPECT_EQ(open(third).rootContainer, third);

    // What the daemon has is fetched: another creator's file after a lost race, a root that came
    // as a proxy, plain values every time but containers once, nothing of a tree that cannot be
    // decoded.
    auto rootId = UUID::random();
    h.answer({failed(VKError::fileDoesNotExist), failed(VKError::fileAlreadyExists),
              fetched(Blobs().dictionary(rootId, rootId, 3, 1).key("k").number(7))});
    auto raced = connection.openOrCreateSettings(VKDictionary::make(), "raced");
    EXPECT_TRUE(raced.isExist);
    EXPECT_EQ(raced.rootContainer->id(), rootId);

    auto proxied = UUID::random();
    h.answer(
        {fetched(Blobs().proxy(proxied)), fetched(Blobs().dictionary(proxied, proxied, 1, 0))});
    auto viaProxy = connection.openOrCreateSettings(VKDictionary::make(), "proxied");
    ASSERT_NE(asDictionary(viaProxy.rootContainer), nullptr);
    EXPECT_EQ(viaProxy.rootContainer->id(), proxied);
    EXPECT_EQ(h.request<Request::ResolveSettings>().containerId, proxied);

    auto before = h.sent();
    h.answer({fetched(Blobs().string("value")), fetched(Blobs().string("value"))});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(connection.getSetting("raced", "/a/b/", false)->description(), "value");
    EXPECT_EQ(h.sent(), before + 2) << "plain values are fetched each time";
    EXPECT_EQ(h.request<Request::FetchSettings>(before).path, "a/b");
    h.daemon->answerNext(fetched(Blobs().dictionary(UUID::random(), rootId, 1, 0)));
    auto sub = connection.getSetting("raced", "caf\u00e9", false);
    EXPECT_EQ(connection.getSetting("raced", "cafe\u0301", true), sub)
        << "a path in two spellings of one key is one path";
    EXPECT_EQ(h.sent(), before + 3);

    // A tree that fails half-way is released while the opening holds the lookup map's lock; its
    // registered part unregisters itself there without deadlock.
    auto broken = UUID::random(), nested = UUID::random();
    Blobs tree;
    tree.dictionary(broken, broken, 1, 2).key("a").dictionary(nested, broken, 1, 0);
    h.daemon->answerNext(fetched(tree.key("b").integer(42)));
    EXPECT_EQ(errorOf([&] { connection.getSetting("broken", ""); }), VKError::serverError);
    EXPECT_EQ(h.impl->registryOfContainers().tryFind(nested), nullptr);
    h.daemon->answerNext(fetched(Blobs().dictionary(broken, broken, 1, 0)));
    auto doomed = connection.getSetting("broken", "");
    EXPECT_NE(doomed, nullptr) << "the lock was released";

    // Destructors run under other locks (a parent's items lock) while an opening holds the
    // lookup map's lock waiting for the daemon: a destructor must not wait for the opening.
    std::mutex gate;
    std::unique_lock held(gate);
    h.daemon->setHandler([&](const Request&) {
        std::lock_guard wait(gate);  // the opening stays in progress until the test lets go
        return std::optional(fetched(Blobs().string("late")));
    });
    const auto sent = h.sent();
    std::thread opening([&] { connection.getSetting("other", ""); });
    ASSERT_TRUE(eventually([&] { return h.sent() == sent + 1; }));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        doomed.reset();
        destroyed = true;
    });
    bool destroyedWhileOpening = eventually([&] { return destroyed.load(); });
    held.unlock();
    destroyer.join();
    opening.join();
    EXPECT_TRUE(destroyedWhileOpening);
    h.daemon->setHandler(nullptr);
    h.daemon->answerNext(fetched(Blobs().dictionary(broken, broken, 2, 0)));
    EXPECT_EQ(asContainer(connection.getSetting("broken", ""))->revision(), 2)
        << "the destroyed root was forgotten";
}

// Every refusal, unexpected answer and invalid call comes back as the right error without
// detaching anything; a shut-down connection still hands out live roots but opens nothing new.
TEST(Connection, FailuresAreReportedAndAShutDownConnectionOpensNothingNew) {
    Harness h;
    VKConnection& c = *h.impl;
    h.daemon->answerNext(fetched(Blobs().dictionary(UUID::random(), UUID::random(), 1, 0)));
    auto live = c.openOrCreateSettings(VKDictionary::make(), "live").rootContainer;
    auto record = change(ChangeType::childChanged, UUID::random());
    auto created = VKDictionary::make();
    auto shared = VKOwnership::shared();
    // A refusal of the daemon comes back as it is.
    auto passed = [&](VKError::Code refusal, auto call) {
        return h.failure({failed(refusal)}, call) == refusal;
    };

    EXPECT_EQ(h.failure({}, [&] { c.deleteSettings("", shared); }), VKError::invalidData);
    EXPECT_TRUE(passed(VKError::fileDoesNotExist, [&] { c.deleteSettings("d", shared); }));
    EXPECT_EQ(h.failure({kSucceeded}, [&] { c.deleteSettings("d", shared); }),
              VKError::serverError);
    EXPECT_TRUE(
        passed(VKError::containerNotFound, [&] { h.impl->publishChangeNotification(record); }));
    EXPECT_EQ(h.failure({fetched(Blobs())}, [&] { h.impl->publishChangeNotification(record); }),
              VKError::serverError);
    EXPECT_EQ(h.failure({fetched(Blobs().number(4))},
                        [&] { h.impl->resolveContainerProxy(UUID::random(), false); }),
              VKError::serverError);
    EXPECT_TRUE(passed(VKError::fileAlreadyExists, [&] { c.createSettings(created, "d"); }));
    EXPECT_EQ(h.failure({}, [&] { c.createSettings(nullptr, "d"); }), VKError::invalidData);
    EXPECT_EQ(h.failure({}, [&] { c.openOrCreateSettings(nullptr, "d"); }), VKError::invalidData);
    EXPECT_EQ(h.failure({failed(VKError::fileDoesNotExist), failed(VKError::fileAlreadyExists),
                         failed(VKError::fileDoesNotExist)},
                        [&] { c.openOrCreateSettings(VKDictionary::make(), "d"); }),
              VKError::fileDoesNotExist)
        << "created by another client meanwhile, and gone again";
    EXPECT_TRUE(live->onServer());
    EXPECT_FALSE(created->onServer());
    h.daemon->answerNext(kSucceeded);
    c.createSettings(created, "created");
    EXPECT_EQ(c.openOrCreateSettings(VKDictionary::make(), "created").rootContainer, created);

    h.daemon->answerNext(ServerResponse::SettingsDeleted{UUID::random()});
    c.deleteSettings("Ü.D", shared);
    EXPECT_EQ(h.request<Request::DeleteSettings>().domain, "ü.d");
    EXPECT_EQ(h.request<Request::DeleteSettings>().user, 1u) << "the shared settings' user";

    bool completed = false, closed = false;
    auto end = scoped(c.asObservable().subscribe({}, {}, [&] { completed = true; }));
    auto requests = h.daemon->virtualChannel()->requestSubject.asObservable();
    auto close = scoped(requests.subscribe({}, {}, [&] { closed = true; }));
    c.dispose();
    c.dispose();
    EXPECT_TRUE(closed) << "the transport is told to close";
    EXPECT_FALSE(completed) << "a disposed connection does not complete";
    EXPECT_EQ(c.openOrCreateSettings(VKDictionary::make(), "live").rootContainer, live);
    EXPECT_EQ(h.failure({}, [&] { c.openOrCreateSettings(VKDictionary::make(), "new"); }),
              VKError::connectionLost);
    EXPECT_EQ(h.failure({}, [&] { c.deleteSettings("", shared); }), VKError::connectionLost);
    EXPECT_EQ(h.failure({}, [&] { c.openOrCreateSettings(VKDictionary::make(), ""); }),
              VKError::invalidData)
        << "an empty domain fails before the shut-down check";
}

// A late note that a container died forgets only that container: one that took its id since
// keeps its entries, and is forgotten when it goes.
TEST(Connection, TheLookupMapForgetsOnlyTheDeadHolderOfAnId) {
    LookupMapOfContainers::Map map;
    const UUID id = UUID::random();
    auto dead = VKDictionary::make();
    detail::ContainerAccess::setId(*dead, id);
    map.registerContainer(dead, "d", 1, "old");
    dead.reset();
    auto live = VKDictionary::make();
    detail::ContainerAccess::setId(*live, id);
    map.registerContainer(live, "d", 1, "new");
    map.forget(id);
    map.unregister(id);
    EXPECT_EQ(map.pathCount(), 1u) << "only the dead entry of the first path is left";
    EXPECT_EQ(map.idCount(), 0u);
}

// Notifications apply in order with their paths, skipping what fails, until dispose(). The caller
// holds a container's write lock while waiting for its answer and a change of that container
// arrives first: the answer still reaches the caller, the change follows the lock.
TEST(Connection, NotificationsApplyInOrderWithoutHoldingUpTheCallersAnswer) {
    Harness h;
    auto a = h.attach(UUID::random());
    auto b = h.attach(a->rootId());
    h.daemon->push(ServerResponse::SettingsUpdated{ChangeResult::done, 2});  // not a notification
    h.daemon->pushNoteChanges({change(ChangeType::childInserted, a->id()),
                               change(ChangeType::childRemoved, UUID::random()),
                               change(ChangeType::childChanged, b->id(), "throw"),
                               change(ChangeType::childChanged, b->id())},
                              {"x/y"});
    EXPECT_EQ(h.log->next(), "x/y");
    EXPECT_EQ(h.log->next(), "") << "changes beyond the paths get the empty path";

    std::weak_ptr<FakeDaemon> weakDaemon = h.daemon;
    auto id = b->id();
    h.daemon->setHandler([weakDaemon, id](const Request&) {
        weakDaemon.lock()->pushNoteChanges({change(ChangeType::childChanged, id)}, {"p"});
        return std::optional<ServerResponse>(
            ServerResponse::SettingsUpdated{ChangeResult::done, 2});
    });
    EXPECT_EQ(b->withWriteItemsLock([&] {  // as client containers publish their changes
        auto verdict = h.impl->publishChangeNotification(change(ChangeType::childChanged, id));
        h.log->push("answer");
        return verdict;
    }),
              std::make_pair(ChangeResult::done, std::int64_t{2}));
    EXPECT_EQ(h.log->next(), "answer");
    EXPECT_EQ(h.log->next(), "p");

    h.impl->dispose();
    h.daemon->pushNoteChanges({change(ChangeType::childInserted, a->id())}, {});
    h.daemon->waitUntilIdle();
    EXPECT_EQ(h.log->size(), 0u) << "nothing is handled after dispose()";
}

// The daemon accepts our removal of "b" as revision 7, but the report of another client's append
// of "x" (revision 6) never comes: the removal returns within its time-out, and the array is
// fetched again on the connection's thread for pushes, its observers hearing of "x".
TEST(Connection, AChangeWhoseEarlierChangesDoNotComeReturnsInTimeAndTheCopyIsFetchedAgain) {
    using namespace std::chrono_literals;
    Harness h(nullptr, 300ms);
    const auto root = UUID::random(), list = UUID::random();
    Blobs tree;
    tree.dictionary(root, root, 1, 1).key("list").array(list, root, 5, 3);
    h.daemon->answerNext(fetched(tree.string("a").string("b").string("c")));
    VKConnection& connection = *h.impl;
    auto array = asArray(asDictionary(connection.getSetting("f", "", false))->get("list"));
    ASSERT_NE(array, nullptr);
    std::vector<std::string> events;
    auto observing =
        array->observe([&](const VKContainerChange& e) { events.push_back(e.description()); });
    h.answer({ServerResponse::SettingsUpdated{ChangeResult::done, 7},
              fetched(Blobs().array(list, root, 7, 3).string("a").string("c").string("x"))});
    const auto started = std::chrono::steady_clock::now();
    array->remove(1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "one time-out (300 ms)";
    EXPECT_TRUE(eventually([&] { return array->count() == 3; }));
    EXPECT_EQ(h.request<Request::ResolveSettings>().containerId, list);
    EXPECT_EQ(array->revision(), 7);
    EXPECT_EQ(array->get(2)->description(), "x");
    // The events of an adopted copy are posted after its content is visible.
    EXPECT_TRUE(eventually([&] {
        h.scheduler->runAll();
        return !events.empty();
    }));
    EXPECT_EQ(events, std::vector<std::string>{"didArrayChildAdd(index=2)"});
}

TEST(Connection, ScheduledActionsRunOneAtATimeInOrderOnAConcurrentPool) {
    Harness h(std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionImpl"));
    std::atomic<int> running{0}, next{0}, overlapsOrDisorders{0};
    constexpr int kActions = 2000;
    for (int i = 0; i < kActions; ++i) {
        h.impl->schedule([&, i] {
            overlapsOrDisorders += (running.fetch_add(1) != 0) + (next.exchange(i + 1) != i);
            running.fetch_sub(1);
        });
    }
    ASSERT_TRUE(eventually([&] { return next.load() == kActions; }));
    EXPECT_EQ(overlapsOrDisorders.load(), 0);
}
