#include <unistd.h>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class RequestsTest : public DaemonBusTest {};

}  // namespace

TEST_F(RequestsTest, EveryRequestIsAnsweredWithItsSignalAndTagToItsSenderAlone) {
    // A connection that would see every answer signal on the bus, were they broadcast.
    auto listener = connect();
    auto everything =
        listener->bus().addMatch("type='signal',interface='org.velkor.SettingsResponseService'");
    auto client = connect();

    const UUID rootId = newId();
    const UUID childId = newId();
    const Node tree = dict(rootId, {{"a", num(1)}, {"child", arr(childId, {str("x")})}});
    const ClientRequest append =
        ClientRequest::UpdateSettings{std::make_shared<const VKChangeNotification>(
            ChangeType::childAppended, childId, 0, 0, 0, "", clientBlob(num(5)))};

    // Sent all at once: they arrive together, and each answer must still find its tag.
    struct Expected {
        ClientRequest request;
        std::size_t kind;
        std::string text;
    };
    const std::vector<Expected> requests = {
        {createRequest(tree, 1000, "org.example.app"), 5, "requestSucceeded"},
        {createRequest(dict(newId(), {}), 1000, "org.example.app"), 0,
         "requestHasFailed(A settings file cannot be created because it already exists.)"},
        {fetchRequest(1000, "org.example.app"), 1, ""},
        {fetchRequest(1000, "org.example.app", "child"), 1, ""},
        {fetchRequest(1000, "org.example.app", "nowhere"), 0,
         "requestHasFailed(A settings file exists (and is accessible), but there is no such "
         "value under a specified path.)"},
        {setRequest(rootId, 0, "a", num(2), false), 2, "settingsUpdated(done, newRev=1)"},
        {append, 2, "settingsUpdated(done, newRev=1)"},
        {append, 2, "settingsUpdated(synchronizeConflict, newRev=1)"},
        {ClientRequest::ResolveSettings{childId, true}, 1, ""},
        {ClientRequest::ResolveSettings{newId(), false}, 0,
         "requestHasFailed(There was an attempt to resolve unknown server container.)"},
        {ClientRequest::SetHasSubscription{rootId, true}, 5, "requestSucceeded"},
        {ClientRequest::DeleteSettings{"org.example.app", 1000}, 3,
         "settingsDeleted(rootId=" + rootId.description() + ")"},
        {fetchRequest(1000, "org.example.app"), 0, kNoAccess},
    };
    std::vector<UUID> tags;
    for (const auto& expected : requests)
        tags.push_back(client->send(expected.request));

    std::vector<std::optional<dbus::ReceivedResponse>> answers;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        answers.push_back(client->answer(tags[i]));
        ASSERT_TRUE(answers.back().has_value()) << "no answer to request " << i;
        EXPECT_EQ(answers.back()->tag, tags[i]);
        EXPECT_EQ(answers.back()->kind, requests[i].kind) << "request " << i;
        if (!requests[i].text.empty()) {
            EXPECT_EQ(text(answers.back()), requests[i].text) << "request " << i;
        }
    }
    EXPECT_EQ(answers[1]->rawValue, VKError(VKError::fileAlreadyExists).rawValue());
    const Node root = fetchedTree(answers[2]);
    EXPECT_EQ(root.id, rootId);
    EXPECT_EQ(root.at("a").number, 1);
    EXPECT_EQ(root.at("child").kind, ValueKind::containerProxy);
    EXPECT_EQ(fetchedTree(answers[3]).at(0).text, "x");
    const Node child = fetchedTree(answers[8]);
    EXPECT_EQ(child.root, rootId);
    ASSERT_EQ(child.count(), 2u);
    EXPECT_EQ(child.at(1).number, 5);

    // The listener gets its own answer and nothing of the client's.
    auto own = listener->request(fetchRequest(1000, "org.example.none"));
    EXPECT_EQ(text(own), kNoAccess);
    EXPECT_EQ(listener->signalsReceived(), 1u);
    EXPECT_EQ(client->signalsReceived(), requests.size());
}

TEST_F(RequestsTest, AnotherUsersFileIsRefusedAndRootIsAllowed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running a client under another uid needs root";
    auto admin = connect();
    ASSERT_EQ(text(admin->request(createRequest(dict(newId(), {}), 1000, "org.example.private"))),
              "requestSucceeded");
    ASSERT_EQ(text(admin->request(createRequest(dict(newId(), {}), 65534, "org.example.own"))),
              "requestSucceeded");
    ASSERT_EQ(text(admin->request(createRequest(dict(newId(), {}), 1, "org.example.shared"))),
              "requestSucceeded");

    const auto& address = bus_.address();
    // uid 65534 reads and writes its own file, reads the shared one, and nothing else.
    EXPECT_EQ(probe(true, address, "fetch 1000 org.example.private"), kNoAccess);
    EXPECT_EQ(probe(true, address, "delete 1000 org.example.private"), kNoAccess);
    EXPECT_EQ(probe(true, address, "delete 1 org.example.shared"), kNoAccess);
    EXPECT_EQ(probe(true, address, "fetch 1 org.example.shared").rfind("settingsFetched(", 0), 0u);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.own").rfind("settingsFetched(", 0), 0u);
    EXPECT_EQ(probe(true, address, "delete 65534 org.example.own").rfind("settingsDeleted(", 0),
              0u);
    EXPECT_TRUE(logShows("for uid 65534"));

    // Root reads the user's file, which the refused delete left in place.
    EXPECT_EQ(probe(false, address, "fetch 1000 org.example.private").rfind("settingsFetched(", 0),
              0u);
    EXPECT_EQ(fetchedTree(admin->request(fetchRequest(1000, "org.example.private"))).count(), 0u);
}
