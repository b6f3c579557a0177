#include <unordered_set>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class NotificationsTest : public DaemonBusTest {};

constexpr int kChanges = 25;

}  // namespace

TEST_F(NotificationsTest, ChangesReachExactlyTheOtherHoldersInOrder) {
    auto writer = connect();
    auto holder = connect();
    auto otherHolder = connect();
    auto bystander = connect();
    const UUID rootId = newId();
    ASSERT_EQ(text(writer->request(createRequest(dict(rootId, {}), 1000, "org.example.app"))),
              "requestSucceeded");
    ASSERT_EQ(fetchedTree(holder->request(fetchRequest(1000, "org.example.app"))).id, rootId);
    ASSERT_EQ(fetchedTree(otherHolder->request(fetchRequest(1000, "org.example.app"))).id, rootId);
    ASSERT_EQ(text(bystander->request(createRequest(dict(newId(), {}), 1000, "org.example.other"))),
              "requestSucceeded");

    // A stream of changes, sent without waiting: each is made against the revision the one
    // before it leads to.
    std::vector<UUID> tags;
    for (int i = 0; i < kChanges; ++i)
        tags.push_back(writer->send(setRequest(rootId, i, "k" + std::to_string(i), num(i))));
    for (int i = 0; i < kChanges; ++i) {
        EXPECT_EQ(text(writer->answer(tags[i])),
                  "settingsUpdated(done, newRev=" + std::to_string(i + 1) + ")");
    }

    std::unordered_set<UUID> noticeTags;
    for (auto* receiver : {holder.get(), otherHolder.get()}) {
        for (int i = 0; i < kChanges; ++i) {
            auto notice = receiver->notification();
            if (notice)
                noticeTags.insert(notice->tag);
            auto notes = records(notice);
            ASSERT_EQ(notes.size(), 1u) << "change " << i;
            const auto& [record, path] = notes.front();
            EXPECT_EQ(record->type, ChangeType::childInserted);
            EXPECT_EQ(record->id, rootId);
            EXPECT_EQ(record->key, "k" + std::to_string(i));
            EXPECT_EQ(record->revision, i + 1);
            EXPECT_EQ(daemonValue(record->data).number, i);
            EXPECT_EQ(path, "");
        }
    }

    // Each notification has a tag of its own, which no request used.
    EXPECT_EQ(noticeTags.size(), 2u * kChanges);
    for (const auto& tag : tags)
        EXPECT_FALSE(noticeTags.contains(tag));

    // A holder's change goes to the writer and the other holder, not back to itself.
    EXPECT_EQ(text(holder->request(setRequest(rootId, kChanges, "k0", num(-1), false))),
              "settingsUpdated(done, newRev=" + std::to_string(kChanges + 1) + ")");
    for (auto* receiver : {writer.get(), otherHolder.get()}) {
        auto notes = records(receiver->notification());
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes.front().first->type, ChangeType::childChanged);
        EXPECT_EQ(notes.front().first->key, "k0");
    }

    // Signals to one client keep their order, so once a later answer has arrived, any notice
    // sent before it would have too.
    for (auto* client : {writer.get(), holder.get(), otherHolder.get(), bystander.get()}) {
        EXPECT_EQ(text(client->request(ClientRequest::SetHasSubscription{rootId, false})),
                  "requestSucceeded");
        EXPECT_EQ(text(client->notification(std::chrono::milliseconds(0))), "nothing");
    }
    // The writer received its answers and the holder's change, none of its own changes.
    EXPECT_EQ(writer->signalsReceived(), static_cast<std::size_t>(kChanges + 3));
}

TEST_F(NotificationsTest, TheUidIsAskedOnceAndAClientLeavingLosesItsHoldings) {
    restart({"--log-level", "debug"});
    auto writer = connect();
    auto leaver = connect();
    const std::string leaverName = leaver->uniqueName();
    const UUID rootId = newId();
    ASSERT_EQ(text(writer->request(createRequest(dict(rootId, {}), 1000, "org.example.app"))),
              "requestSucceeded");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(fetchedTree(leaver->request(fetchRequest(1000, "org.example.app"))).id, rootId);
    ASSERT_TRUE(logShows("Client " + leaverName + " runs as uid"));

    leaver.reset();
    EXPECT_TRUE(logShows("Client " + leaverName + " has gone; its holdings are dropped."));
    const std::string log = daemon().log();
    const std::string asked = "Client " + leaverName + " runs as uid";
    EXPECT_EQ(log.find(asked), log.rfind(asked)) << "the uid was asked more than once";

    // Whoever is still there is served as before.
    EXPECT_EQ(text(writer->request(setRequest(rootId, 0, "k", num(1)))),
              "settingsUpdated(done, newRev=1)");
}
