#include <gtest/gtest.h>

#include "ConnectionTesting.h"
#include "support/DaemonBlobWriter.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"
#include "velkor/rx/ImmediateScheduler.h"

using namespace velkor;
using namespace velkor::test;

namespace {

ServerResponse fetched(const DaemonBlobWriter& w) {
    return ServerResponse::SettingsFetched{w.blob()};
}
ServerResponse failed(VKError e) {
    return ServerResponse::RequestHasFailed{e};
}

template <typename T>
const T* request(FakeDaemon& daemon, std::size_t index) {
    static thread_local std::vector<Tagged<ClientRequest>> copy;
    copy = daemon.requests();
    return index < copy.size() ? copy[index].payload.get<T>() : nullptr;
}

struct Opening : ::testing::Test {
    LogCapture capture;
    ConnectionHarness h{std::make_shared<rx::ImmediateScheduler>()};
    VKConnection& connection = *h.connection;
    UUID rootId = UUID::random();
};

}  // namespace

TEST_F(Opening, OpenOrCreateCreatesAMissingFileOnceAndThenReturnsTheSameRoot) {
    auto root = VKDictionary::make();
    root->set("a", std::make_shared<VKString>("x"));
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(ServerResponse::RequestSucceeded{});

    auto opened = connection.openOrCreateSettings(root, "Prefs", VKOwnership::user(501));
    EXPECT_EQ(opened.rootContainer, root);
    EXPECT_FALSE(opened.isExist);
    EXPECT_TRUE(root->onServer());
    EXPECT_EQ(root->rootId(), root->id());
    ASSERT_EQ(h.daemon->requestCount(), 2u);
    auto* fetch = request<ClientRequest::FetchSettings>(*h.daemon, 0);
    ASSERT_NE(fetch, nullptr);
    EXPECT_EQ(fetch->domain, "prefs");
    EXPECT_FALSE(fetch->recursiveFetch);
    auto* create = request<ClientRequest::CreateSettings>(*h.daemon, 1);
    ASSERT_NE(create, nullptr);
    EXPECT_FALSE(create->data.empty());
    EXPECT_EQ(capture->count(LogLevel::debug,
                             "Settings file does not exist, so will try to create new one."),
              1u);

    auto again =
        connection.openOrCreateSettings(VKDictionary::make(), "prefs", VKOwnership::user(501));
    EXPECT_EQ(again.rootContainer, root);
    EXPECT_TRUE(again.isExist);
    EXPECT_EQ(h.daemon->requestCount(), 2u) << "a live root is found without a request";

    // Deleting the file forgets the root: opening again asks the daemon.
    h.daemon->answerNext(ServerResponse::SettingsDeleted{root->id()});
    connection.deleteSettings("prefs", VKOwnership::user(501));
    EXPECT_FALSE(root->onServer());
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(ServerResponse::RequestSucceeded{});
    auto fresh = VKDictionary::make();
    EXPECT_EQ(connection.openOrCreateSettings(fresh, "prefs", VKOwnership::user(501)).rootContainer,
              fresh);

    // Another client deleting it detaches the root as well: the next opening asks the daemon
    // rather than handing out a root whose writes would stay local.
    h.daemon->pushNoteChanges(
        {std::make_shared<VKChangeNotification>(ChangeType::settingsDeleted, fresh->id(), 0, 0, 0,
                                                "", std::vector<std::uint8_t>{})},
        {""});
    ASSERT_TRUE(eventually([&] { return !fresh->onServer(); }));
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(ServerResponse::RequestSucceeded{});
    auto third = VKDictionary::make();
    EXPECT_EQ(connection.openOrCreateSettings(third, "prefs", VKOwnership::user(501)).rootContainer,
              third);
    EXPECT_EQ(h.daemon->requestCount(), 7u);
}

TEST_F(Opening, ARaceWithAnotherCreatorFetchesAgain) {
    auto theirs = DaemonBlobWriter().dictionary(rootId, rootId, 3, 1).key("k").number(7);
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(failed(VKError::fileAlreadyExists));
    h.daemon->answerNext(fetched(theirs));
    auto opened =
        connection.openOrCreateSettings(VKDictionary::make(), "prefs", VKOwnership::shared());
    EXPECT_TRUE(opened.isExist);
    EXPECT_EQ(opened.rootContainer->id(), rootId);
    EXPECT_EQ(opened.rootContainer->revision(), 3);
    EXPECT_EQ(h.daemon->requestCount(), 3u);
    EXPECT_EQ(
        capture->count(LogLevel::debug, "Create settings failed with 'file already exists' error"),
        1u);

    LogCapture second;
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(failed(VKError::fileAlreadyExists));
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    EXPECT_EQ(errorOf([&] { connection.openOrCreateSettings(VKDictionary::make(), "other"); }),
              VKError::fileDoesNotExist);
    EXPECT_EQ(
        second->count(LogLevel::error, "Second fetch of settings failed with: FileDoesNotExist"),
        1u);
}

TEST_F(Opening, AFetchedProxyIsResolvedBeforeItIsReturned) {
    h.daemon->answerNext(fetched(DaemonBlobWriter().proxy(rootId)));
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(rootId, rootId, 1, 0)));
    auto opened = connection.openOrCreateSettings(VKDictionary::make(), "prefs");
    ASSERT_NE(std::dynamic_pointer_cast<VKDictionary>(opened.rootContainer), nullptr);
    EXPECT_EQ(opened.rootContainer->id(), rootId);
    auto* resolve = request<ClientRequest::ResolveSettings>(*h.daemon, 1);
    ASSERT_NE(resolve, nullptr);
    EXPECT_EQ(resolve->containerId, rootId);
    EXPECT_FALSE(resolve->recursiveFetch);
}

TEST_F(Opening, AShutDownConnectionStillReturnsALiveRootButOpensNothingNew) {
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(rootId, rootId, 1, 0)));
    auto root = connection.openOrCreateSettings(VKDictionary::make(), "prefs").rootContainer;
    connection.dispose();
    EXPECT_EQ(connection.openOrCreateSettings(VKDictionary::make(), "prefs").rootContainer, root);
    EXPECT_EQ(errorOf([&] { connection.openOrCreateSettings(VKDictionary::make(), "new"); }),
              VKError::connectionLost);
    EXPECT_EQ(errorOf([&] { connection.openOrCreateSettings(VKDictionary::make(), ""); }),
              VKError::invalidData)
        << "an empty domain fails before the shut-down check";
}

TEST_F(Opening, GetSettingKeepsContainersButNotPlainValues) {
    h.daemon->answerNext(fetched(DaemonBlobWriter().string("value")));
    h.daemon->answerNext(fetched(DaemonBlobWriter().string("value")));
    for (int i = 0; i < 2; ++i) {
        auto value = connection.getSetting("prefs", "/a/b/", false, VKOwnership::shared());
        ASSERT_NE(std::dynamic_pointer_cast<VKString>(value), nullptr);
        EXPECT_EQ(value->description(), "value");
    }
    EXPECT_EQ(h.daemon->requestCount(), 2u) << "plain values are fetched each time";
    EXPECT_EQ(request<ClientRequest::FetchSettings>(*h.daemon, 0)->path, "a/b");

    auto sub = UUID::random();
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(sub, rootId, 1, 0)));
    auto first = connection.getSetting("prefs", "a", false, VKOwnership::shared());
    auto second = connection.getSetting("prefs", "a", true, VKOwnership::shared());
    EXPECT_EQ(first, second);
    EXPECT_EQ(h.daemon->requestCount(), 3u);
}

TEST_F(Opening, RecursiveGetSettingPrefetchesTheWholeTree) {
    auto child = UUID::random();
    auto grandchild = UUID::random();
    h.daemon->answerNext(
        fetched(DaemonBlobWriter().dictionary(rootId, rootId, 1, 1).key("c").proxy(child)));
    h.daemon->answerNext(fetched(DaemonBlobWriter()
                                     .dictionary(child, rootId, 1, 1)
                                     .key("g")
                                     .dictionary(grandchild, rootId, 1, 0)));
    auto root = std::dynamic_pointer_cast<VKDictionary>(connection.getSetting("prefs", "", true));
    ASSERT_NE(root, nullptr);
    auto items = root->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_NE(std::dynamic_pointer_cast<VKDictionary>(items.begin()->second), nullptr)
        << "the proxy was replaced during the fetch, not on first read";
    auto* resolve = request<ClientRequest::ResolveSettings>(*h.daemon, 1);
    ASSERT_NE(resolve, nullptr);
    EXPECT_TRUE(resolve->recursiveFetch);
}

TEST_F(Opening, ResolveAndCreateReportTheirFailures) {
    h.daemon->answerNext(fetched(DaemonBlobWriter().number(4)));
    auto id = UUID::random();
    EXPECT_EQ(errorOf([&] { h.connection->resolveContainerProxy(id, false); }),
              VKError::serverError);
    EXPECT_EQ(capture->count(LogLevel::error, "Can't decode object (id=" + id.description() + ")."),
              1u);

    auto root = VKDictionary::make();
    h.daemon->answerNext(failed(VKError::fileAlreadyExists));
    EXPECT_EQ(errorOf([&] { connection.createSettings(root, "prefs"); }),
              VKError::fileAlreadyExists);
    EXPECT_FALSE(root->onServer());
    EXPECT_EQ(capture->count(LogLevel::error, "Create settings failed with: FileAlreadyExists"),
              1u);

    // Without a tree to create from, nothing is sent.
    const auto sent = h.daemon->requestCount();
    EXPECT_EQ(errorOf([&] { connection.createSettings(nullptr, "prefs"); }), VKError::invalidData);
    EXPECT_EQ(errorOf([&] { connection.openOrCreateSettings(nullptr, "prefs"); }),
              VKError::invalidData);
    EXPECT_EQ(h.daemon->requestCount(), sent);

    h.daemon->answerNext(ServerResponse::RequestSucceeded{});
    connection.createSettings(root, "prefs");
    EXPECT_TRUE(root->onServer());
    EXPECT_EQ(connection.openOrCreateSettings(VKDictionary::make(), "prefs").rootContainer, root);

    h.daemon->answerNext(fetched(DaemonBlobWriter().integer(99)));
    EXPECT_EQ(errorOf([&] { connection.getSetting("broken", ""); }), VKError::serverError);
    EXPECT_EQ(capture->count(LogLevel::error, "Can't decode object."), 1u);
}

TEST_F(Opening, APartlyDecodedTreeIsDiscardedWithoutDeadlock) {
    // The nested dictionary decodes and registers before the second item fails; it is released
    // while the opening still holds the lookup map's lock and unregisters itself from it.
    auto nested = UUID::random();
    h.daemon->answerNext(fetched(DaemonBlobWriter()
                                     .dictionary(rootId, rootId, 1, 2)
                                     .key("a")
                                     .dictionary(nested, rootId, 1, 0)
                                     .key("b")
                                     .integer(42)));
    EXPECT_EQ(errorOf([&] { connection.getSetting("prefs", ""); }), VKError::serverError);
    EXPECT_EQ(h.connection->registryOfContainers().tryFind(nested), nullptr);
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(rootId, rootId, 1, 0)));
    EXPECT_NE(connection.getSetting("prefs", ""), nullptr) << "the lock was released";
}

TEST_F(Opening, AContainerDestroyedDuringAnOpeningDoesNotWaitForIt) {
    // Destructors run under other locks (a parent's items lock); an opening holds the lookup map's
    // lock while it waits for the daemon and may be about to take that very items lock. The
    // destructor must not wait for the opening.
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(rootId, rootId, 1, 0)));
    auto doomed = connection.getSetting("prefs", "");
    std::mutex gate;
    std::unique_lock held(gate);
    h.daemon->setHandler([&](const ClientRequest&) -> std::optional<ServerResponse> {
        std::lock_guard wait(gate);  // the opening stays in progress until the test lets go
        return fetched(DaemonBlobWriter().string("late"));
    });
    std::thread opening([&] { connection.getSetting("other", ""); });
    ASSERT_TRUE(eventually([&] { return h.daemon->requestCount() == 2; }));

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

    // The destroyed root was forgotten: asking again fetches it.
    h.daemon->setHandler(nullptr);
    h.daemon->answerNext(fetched(DaemonBlobWriter().dictionary(rootId, rootId, 2, 0)));
    EXPECT_EQ(asContainer(connection.getSetting("prefs", ""))->revision(), 2);
}

TEST_F(Opening, TypedOpenersGiveTheirClassOfRootOrRefuseTheOther) {
    // A missing file is created as an empty dictionary, handed out without a cast.
    h.daemon->answerNext(failed(VKError::fileDoesNotExist));
    h.daemon->answerNext(ServerResponse::RequestSucceeded{});
    VKDictionaryPtr settings = connection.openDictionary("prefs");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->count(), 0u);
    EXPECT_TRUE(settings->onServer());

    // The same file asked for as an array is refused, with a line that says why.
    EXPECT_EQ(errorOf([&] { (void)connection.openArray("prefs"); }), VKError::invalidData);
    EXPECT_EQ(capture->count(LogLevel::error, "the root of domain='prefs' is not an array"), 1u);

    // An existing array file is fetched; the given root is only for creating.
    auto theirs = DaemonBlobWriter().array(rootId, rootId, 2, 1).number(9);
    h.daemon->answerNext(fetched(theirs));
    auto given = VKArray::make();
    VKArrayPtr list = connection.openArray(given, "list");
    ASSERT_NE(list, nullptr);
    EXPECT_NE(list, given);
    EXPECT_EQ(list->get(0, 0), 9);
    EXPECT_EQ(errorOf([&] { (void)connection.openDictionary("list"); }), VKError::invalidData);

    // A value at a path is asked for by its class in the same way.
    h.daemon->answerNext(fetched(DaemonBlobWriter().number(9)));
    EXPECT_EQ(connection.getSettingAs<VKNumber>("list", "0")->value(), 9);
    h.daemon->answerNext(fetched(DaemonBlobWriter().number(9)));
    EXPECT_EQ(errorOf([&] { (void)connection.getSettingAs<VKArray>("list", "0"); }),
              VKError::invalidData);
}
