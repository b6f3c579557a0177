#include <gtest/gtest.h>
#include <unistd.h>

#include "ConnectionTesting.h"
#include "support/LogCapture.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/testing/VirtualTimeScheduler.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const UUID kRoot = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const UUID kOtherRoot = *UUID::parse("1F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

ChangeNotificationPtr change(ChangeType type, const UUID& id, std::string key = "k") {
    return std::make_shared<VKChangeNotification>(type, id, 1, 0, 0, std::move(key),
                                                  std::vector<std::uint8_t>{});
}

const ClientRequest::DeleteSettings& lastDelete(FakeDaemon& daemon) {
    static thread_local Tagged<ClientRequest> last{UUID(), ClientRequest::DeleteSettings{"", 0}};
    last = daemon.requests().back();
    return *last.payload.get<ClientRequest::DeleteSettings>();
}

}  // namespace

TEST(ConnectionDelete, NormalisesParametersAndDetachesTheDeletedRoot) {
    LogCapture capture;
    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    auto root = RecordingDictionary::make();
    auto child = RecordingDictionary::make();
    auto foreign = RecordingDictionary::make();
    h.attach(root, kRoot);
    h.attach(child, kRoot);
    h.attach(foreign, kOtherRoot);
    h.daemon->addFile("my.prefs", 501, kRoot);

    h.connection->deleteSettings("My.Prefs", VKOwnership::user(501));
    EXPECT_EQ(lastDelete(*h.daemon).domain, "my.prefs");
    EXPECT_EQ(lastDelete(*h.daemon).user, 501u);
    EXPECT_FALSE(root->onServer());
    EXPECT_FALSE(child->onServer());
    EXPECT_TRUE(foreign->onServer()) << "containers of other files stay attached";
    EXPECT_EQ(h.connection->registryOfContainers().tryFind(root->id()), nullptr);
    EXPECT_EQ(capture->count(LogLevel::debug,
                             "Deleting settings file for domain='my.prefs', user=501..."),
              1u);
    EXPECT_EQ(capture->count(LogLevel::debug, "have been deleted (notify=false)."), 1u);

    h.daemon->addFile("d", 1, kOtherRoot);
    h.connection->deleteSettings("d", VKOwnership::shared());
    EXPECT_EQ(lastDelete(*h.daemon).user, 1u);
    h.daemon->addFile("d", 0, kOtherRoot);
    h.connection->deleteSettings("d", VKOwnership::user(0));
    EXPECT_EQ(lastDelete(*h.daemon).user, 0u);
    h.daemon->addFile("d", getuid(), kOtherRoot);
    static_cast<VKConnection&>(*h.connection).deleteSettings("d");
    EXPECT_EQ(lastDelete(*h.daemon).user, getuid()) << "without ownership: the real user";
}

TEST(ConnectionDelete, FailuresLeaveEverythingAttached) {
    LogCapture capture;
    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    auto root = RecordingDictionary::make();
    h.attach(root, kRoot);

    auto expectError = [](auto call, VKError expected) {
        try {
            call();
            ADD_FAILURE() << "expected " << expected.description();
        } catch (const VKError& e) {
            EXPECT_EQ(e, expected) << e.description();
        }
    };
    expectError([&] { h.connection->deleteSettings("", VKOwnership::shared()); },
                VKError::invalidData);
    EXPECT_EQ(h.daemon->requestCount(), 0u) << "an empty domain sends nothing";
    EXPECT_EQ(capture->count(LogLevel::error, "Domain can't be empty."), 1u);

    expectError([&] { h.connection->deleteSettings("missing", VKOwnership::shared()); },
                VKError::fileDoesNotExist);
    EXPECT_EQ(capture->count(LogLevel::error, "Delete settings failed with: FileDoesNotExist"), 1u);

    h.daemon->answerNext(ServerResponse::RequestSucceeded{});
    expectError([&] { h.connection->deleteSettings("prefs", VKOwnership::shared()); },
                VKError::serverError);
    EXPECT_EQ(capture->count(LogLevel::error,
                             "Delete settings failed. Unexpected response: requestSucceeded"),
              1u);
    EXPECT_TRUE(root->onServer());

    h.connection->dispose();
    auto sent = h.daemon->requestCount();
    expectError([&] { h.connection->deleteSettings("", VKOwnership::shared()); },
                VKError::connectionLost);
    EXPECT_EQ(capture->count(LogLevel::error, "Connetion has been lost."), 1u);
    EXPECT_EQ(h.daemon->requestCount(), sent);
}

TEST(ConnectionNormalise, TrimsOuterSlashesAndLowerCases) {
    auto p = ConnectionImpl::normalizeParams("Ünïcode.DOMAIN", VKOwnership::user(7), "//a/b/");
    EXPECT_EQ(p.domain, "ünïcode.domain");
    EXPECT_EQ(p.user, 7u);
    EXPECT_EQ(p.path, "a/b");
    EXPECT_EQ(ConnectionImpl::normalizeParams("d", VKOwnership::shared(), "///").path, "");
    EXPECT_EQ(ConnectionImpl::normalizeParams("d", VKOwnership::shared(), "x//y").path, "x//y");
}

TEST(ConnectionLifecycle, DisposeRunsOnceAndOnlyTheChannelEndCompletes) {
    LogCapture capture;
    {
        ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
        std::atomic<bool> completed{false};
        h.connection->asObservable().subscribe({}, {}, [&] { completed = true; });
        h.connection->dispose();
        h.connection->dispose();
        EXPECT_EQ(capture->count(LogLevel::debug, "Shutting down connection (id="), 1u);
        EXPECT_EQ(capture->count(LogLevel::debug, "Connection was shut down (id="), 1u);
        EXPECT_TRUE(h.daemon->requestStreamCompleted()) << "the transport is told to close";
        EXPECT_FALSE(completed) << "a disposed connection does not complete";
    }
    EXPECT_EQ(capture->count(LogLevel::trace, "Destructing connection (id="), 1u);
    EXPECT_EQ(capture->count(LogLevel::trace, "Connection destructed (id="), 1u);
    EXPECT_EQ(capture->count("Shutting down connection (id="), 1u);

    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    std::atomic<bool> completed{false};
    h.connection->asObservable().subscribe({}, {}, [&] { completed = true; });
    h.daemon->endChannel();
    EXPECT_TRUE(eventually([&] { return completed.load(); }));
    EXPECT_THROW(h.connection->deleteSettings("d", VKOwnership::shared()), VKError);
}

TEST(ConnectionNotifications, AppliesChangesInOrderWithTheirPathsAndSkipsFailures) {
    LogCapture capture;
    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    auto a = RecordingDictionary::make();
    auto b = RecordingDictionary::make();
    b->sequence = a->sequence;
    h.attach(a, kRoot);
    h.attach(b, kRoot);

    h.daemon->pushNoteChanges({change(ChangeType::childInserted, a->id()),
                               change(ChangeType::childRemoved, UUID::random()),
                               change(ChangeType::childChanged, b->id(), "throw"),
                               change(ChangeType::childChanged, b->id())},
                              {"x/y"});
    ASSERT_TRUE(eventually([&] { return b->appliedChanges().size() == 1; }));
    auto appliedA = a->appliedChanges();
    ASSERT_EQ(appliedA.size(), 1u);
    EXPECT_EQ(appliedA[0].path, "x/y");
    EXPECT_EQ(b->appliedChanges()[0].path, "") << "changes beyond the paths get the empty path";
    EXPECT_LT(appliedA[0].sequence, b->appliedChanges()[0].sequence);
    EXPECT_EQ(capture->count(LogLevel::warning, "Can't find container (id="), 1u);
    EXPECT_EQ(capture->count(LogLevel::error, "Can't handle change from server (childChanged)."),
              1u);

    h.daemon->push(ServerResponse::SettingsUpdated{ChangeResult::done, 2});
    ASSERT_TRUE(eventually([&] { return capture->count("Unexpected notification: ") == 1; }));
    EXPECT_EQ(
        capture->count(LogLevel::warning,
                       "Unexpected notification: settingsUpdated(done, newRev=2) (connectionId=" +
                           h.connection->id().description() + ")."),
        1u);

    h.connection->dispose();
    h.daemon->pushNoteChanges({change(ChangeType::childInserted, a->id())}, {});
    h.daemon->waitUntilIdle();
    EXPECT_EQ(a->appliedChanges().size(), 1u) << "nothing is handled after dispose()";
}

TEST(ConnectionNotifications, SettingsDeletedDetachesTheRootAndPostsDidDeleteOnTheScheduler) {
    LogCapture capture;
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    ConnectionHarness h(scheduler);
    auto root = RecordingDictionary::make();
    auto child = RecordingDictionary::make();
    auto foreign = RecordingDictionary::make();
    h.attach(root, kRoot);
    h.attach(child, kRoot);
    h.attach(foreign, kOtherRoot);
    std::atomic<int> deletes{0};
    std::vector<rx::DisposablePtr> subscriptions;
    for (auto& c : {root, child, foreign}) {
        subscriptions.push_back(c->asObservable().subscribe([&](const VKContainerChange& e) {
            if (e.get<VKContainerChange::DidDelete>())
                ++deletes;
        }));
    }

    h.daemon->pushNoteChanges({change(ChangeType::settingsDeleted, kRoot)}, {""});
    ASSERT_TRUE(eventually([&] { return !root->onServer() && !child->onServer(); }));
    EXPECT_TRUE(foreign->onServer());
    EXPECT_EQ(deletes.load(), 0) << "events wait for the connection's scheduler";
    // The notification thread schedules the events just after detaching the containers.
    EXPECT_TRUE(eventually([&] {
        scheduler->advanceBy(std::chrono::seconds(0));
        return deletes.load() >= 2;
    }));
    scheduler->advanceBy(std::chrono::seconds(0));
    EXPECT_EQ(deletes.load(), 2) << "one event for each container of the deleted file";
    EXPECT_EQ(capture->count(LogLevel::debug, "Settings (rootId=" + kRoot.description() +
                                                  ") have been deleted (notify=true)."),
              1u);
    for (auto& s : subscriptions)
        s->dispose();
}

TEST(ConnectionNotifications, AnAnswerIsNotHeldUpByANotificationWaitingForTheCallersLock) {
    // The caller holds a container's write lock while waiting for its own answer; a change for
    // the same container arrives first. The answer must still reach the caller at once, and the
    // change be applied after the caller has let go of the lock.
    LogCapture capture;
    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    auto dictionary = RecordingDictionary::make();
    h.attach(dictionary, kRoot);
    std::weak_ptr<FakeDaemon> weakDaemon = h.daemon;
    UUID id = dictionary->id();
    h.daemon->setHandler(
        [weakDaemon, id](const ClientRequest& request) -> std::optional<ServerResponse> {
            if (!request.get<ClientRequest::UpdateSettings>())
                return std::nullopt;
            weakDaemon.lock()->pushNoteChanges({change(ChangeType::childChanged, id)}, {"p"});
            return ServerResponse::SettingsUpdated{ChangeResult::done, 2};
        });

    auto [result, revision] = dictionary->publishUnderWriteLock();
    EXPECT_EQ(result, ChangeResult::done);
    EXPECT_EQ(revision, 2);
    ASSERT_TRUE(eventually([&] { return dictionary->appliedChanges().size() == 1; }));
    EXPECT_GT(dictionary->appliedChanges()[0].sequence, dictionary->publishedAt);
    EXPECT_EQ(capture->count("Timeout waiting for response"), 0u);
}

TEST(ConnectionPublish, ReturnsTheVerdictOrTheDaemonsError) {
    LogCapture capture;
    ConnectionHarness h(std::make_shared<rx::ImmediateScheduler>());
    auto record = change(ChangeType::childChanged, UUID::random());
    h.daemon->answerNext(ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, 9});
    EXPECT_EQ(h.connection->publishChangeNotification(record),
              std::make_pair(ChangeResult::waitToBeUpdated, std::int64_t{9}));

    h.daemon->answerNext(ServerResponse::RequestHasFailed{VKError::containerNotFound});
    EXPECT_THROW(h.connection->publishChangeNotification(record), VKError);
    EXPECT_EQ(capture->count(LogLevel::error, "Settings update has failed with: ContainerNotFound"),
              1u);

    h.daemon->answerNext(ServerResponse::SettingsFetched{Blob()});
    try {
        h.connection->publishChangeNotification(record);
        FAIL();
    } catch (const VKError& e) {
        EXPECT_EQ(e, VKError::serverError);
    }
    EXPECT_EQ(
        capture->count(LogLevel::error,
                       "Settings update has failed. Unexpected response: settingsFetched(0 bytes)"),
        1u);
}

TEST(ConnectionEvents, ScheduledActionsRunOneAtATimeInOrderOnAConcurrentPool) {
    ConnectionHarness h(std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionImpl"));
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    constexpr int kActions = 2000;
    for (int i = 0; i < kActions; ++i) {
        h.connection->schedule([&, i] {
            if (running.fetch_add(1) != 0)
                ++overlaps;
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
            }
            running.fetch_sub(1);
        });
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return order.size() == kActions;
    }));
    EXPECT_EQ(overlaps.load(), 0);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}
