#include <unistd.h>

#include <unordered_set>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class ClientsTest : public DaemonBusTest {};

}  // namespace

TEST_F(ClientsTest, RequestsSentTogetherAreAnsweredUnderTheirTagsToTheirSenderAlone) {
    // A connection that would see every answer signal on the bus, were they broadcast.
    auto listener = connect();
    auto everything =
        listener->bus().addMatch("type='signal',interface='org.velkor.SettingsResponseService'");
    auto client = connect();

    const UUID rootId = newId();
    const UUID childId = newId();
    const std::vector<std::pair<ClientRequest, std::string>> requests = {
        {createRequest(dict(rootId, {{"a", num(1)}, {"child", arr(childId, {str("x")})}})),
         "requestSucceeded"},
        {createRequest(dict(newId(), {})),
         "requestHasFailed(A settings file cannot be created because it already exists.)"},
        {fetchRequest(), ""},
        {setRequest(rootId, 0, "a", num(2), false), doneAt(1)},
        {setRequest(rootId, 5, "a", num(3), false),
         "settingsUpdated(synchronizeConflict, newRev=1)"},
        {ClientRequest::ResolveSettings{childId, true}, ""},
        {ClientRequest::SetHasSubscription{rootId, true}, "requestSucceeded"},
        {ClientRequest::DeleteSettings{"org.example.app", 1000},
         "settingsDeleted(rootId=" + rootId.description() + ")"},
        {fetchRequest(), kNoAccess},
    };
    std::vector<UUID> tags;
    for (const auto& [request, expected] : requests)
        tags.push_back(client->send(request));
    std::vector<std::optional<dbus::ReceivedResponse>> answers;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        answers.push_back(client->answer(tags[i]));
        ASSERT_TRUE(answers.back().has_value()) << "no answer to request " << i;
        EXPECT_EQ(answers.back()->tag, tags[i]);
        if (!requests[i].second.empty()) {
            EXPECT_EQ(text(answers.back()), requests[i].second) << "request " << i;
        }
    }
    EXPECT_EQ(answers[1]->rawValue, VKError(VKError::fileAlreadyExists).rawValue());
    const Node root = fetchedTree(answers[2]);
    EXPECT_EQ(std::tuple(root.id, root.at("a").number, root.at("child").kind),
              std::tuple(rootId, 1, ValueKind::containerProxy));
    EXPECT_EQ(fetchedTree(answers[5]).at(0).text, "x");

    // The listener gets its own answer and nothing of the client's.
    EXPECT_EQ(text(listener->request(fetchRequest(1000, "org.example.none"))), kNoAccess);
    EXPECT_EQ(listener->signalsReceived(), 1u);
    EXPECT_EQ(client->signalsReceived(), requests.size());
}

TEST_F(ClientsTest, AnotherUsersFileIsRefusedAndRootIsAllowed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "running a client under another uid needs root";
    auto admin = connect();
    for (auto [user, domain] : {std::pair{1000u, "org.example.private"},
                                {65534u, "org.example.own"},
                                {1u, "org.example.shared"}})
        ASSERT_EQ(text(admin->request(createRequest(dict(newId(), {}), user, domain))),
                  "requestSucceeded");

    // uid 65534 reads and writes its own file, reads the shared one, and nothing else.
    const auto& address = bus_.address();
    EXPECT_EQ(probe(true, address, "fetch 1000 org.example.private"), kNoAccess);
    EXPECT_EQ(probe(true, address, "delete 1000 org.example.private"), kNoAccess);
    EXPECT_EQ(probe(true, address, "delete 1 org.example.shared"), kNoAccess);
    EXPECT_EQ(probe(true, address, "fetch 1 org.example.shared").rfind("settingsFetched(", 0), 0u);
    EXPECT_EQ(probe(true, address, "delete 65534 org.example.own").rfind("settingsDeleted(", 0),
              0u);
    EXPECT_TRUE(logShows("for uid 65534"));
    // Root reads the user's file, which the refused delete left in place.
    EXPECT_EQ(probe(false, address, "fetch 1000 org.example.private").rfind("settingsFetched(", 0),
              0u);
}

TEST_F(ClientsTest, ChangesReachExactlyTheOtherHoldersInOrder) {
    restart({"--log-level", "debug"});
    auto writer = connect();
    auto holder = connect();
    auto leaver = connect();
    auto bystander = connect();
    const std::string leaverName = leaver->uniqueName();
    const UUID rootId = newId();
    ASSERT_EQ(text(writer->request(createRequest(dict(rootId, {})))), "requestSucceeded");
    for (auto* client : {holder.get(), leaver.get(), leaver.get()})
        ASSERT_EQ(fetchedTree(client->request(fetchRequest())).id, rootId);
    ASSERT_EQ(text(bystander->request(createRequest(dict(newId(), {}), 1000, "other"))),
              "requestSucceeded");

    // A stream of changes, sent without waiting: each is made against the revision the one
    // before it leads to.
    constexpr int kChanges = 25;
    std::vector<UUID> tags;
    for (int i = 0; i < kChanges; ++i)
        tags.push_back(writer->send(setRequest(rootId, i, "k" + std::to_string(i), num(i))));
    for (int i = 0; i < kChanges; ++i)
        EXPECT_EQ(text(writer->answer(tags[i])), doneAt(i + 1));
    // Each notification has a tag of its own, which no request used.
    std::unordered_set<UUID> noticeTags(tags.begin(), tags.end());
    for (auto* receiver : {holder.get(), leaver.get()}) {
        for (int i = 0; i < kChanges; ++i) {
            auto notice = receiver->notification();
            EXPECT_TRUE(notice && noticeTags.insert(notice->tag).second);
            const auto r = noticed(notice);
            EXPECT_EQ(
                std::tuple(r->type, r->id, r->key, r->revision),
                std::tuple(ChangeType::childInserted, rootId, "k" + std::to_string(i), i + 1));
            EXPECT_EQ(daemonValue(r->data).number, i);
        }
    }

    // A client that leaves loses its holdings; the uid of each client was asked once.
    leaver.reset();
    EXPECT_TRUE(logShows("Client " + leaverName + " has gone; its holdings are dropped."));
    const std::string log = daemon().log(), asked = "Client " + leaverName + " runs as uid";
    EXPECT_EQ(log.find(asked), log.rfind(asked)) << "the uid was asked more than once";

    // A holder's change goes to the writer, not back to itself.
    EXPECT_EQ(text(holder->request(setRequest(rootId, kChanges, "k0", num(-1), false))),
              doneAt(kChanges + 1));
    EXPECT_EQ(noticed(writer->notification())->key, "k0");
    // Signals to one client keep their order, so once a later answer has arrived, any notice
    // sent before it would have too.
    for (auto* client : {writer.get(), holder.get(), bystander.get()}) {
        EXPECT_EQ(text(client->request(ClientRequest::SetHasSubscription{rootId, false})),
                  "requestSucceeded");
        EXPECT_EQ(text(client->notification(std::chrono::milliseconds(0))), "nothing");
    }
}
