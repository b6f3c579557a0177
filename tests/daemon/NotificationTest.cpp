#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const daemon::Caller dave{":1.20", 1000};  // never fetches anything

class NotificationTest : public StoreTest {
  protected:
    UUID rootId = newId();
    UUID subId = newId();
    UUID listId = newId();

    void createSample() {
        ASSERT_NE(create(alice, dict(rootId, {{"a", num(1)},
                                              {"sub", dict(subId, {{"x", num(1)}})},
                                              {"list", arr(listId, {num(0), num(1)})}}))
                      .answer.get<ServerResponse::RequestSucceeded>(),
                  nullptr);
    }
};

using Records = std::vector<std::pair<ChangeNotificationPtr, std::string>>;

std::vector<ChangeType> typesOf(const Records& records) {
    std::vector<ChangeType> types;
    for (const auto& [record, path] : records) {
        types.push_back(record->type);
    }
    return types;
}

}  // namespace

TEST_F(NotificationTest, OnlyOtherClientsHoldingTheContainerHearOfIt) {
    createSample();
    fetch(bob);              // the root in full, the rest as proxies
    fetch(carol, "", true);  // everything

    auto o = set(alice, rootId, 0, "a", num(2));
    EXPECT_EQ(recipients(o), (std::vector<std::string>{bob.clientId, carol.clientId}));
    auto notes = notesFor(o, bob);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first->type, ChangeType::childChanged);
    EXPECT_EQ(notes[0].first->id, rootId);
    EXPECT_EQ(notes[0].first->revision, 1);
    EXPECT_EQ(notes[0].first->key, "a");
    EXPECT_EQ(daemonValue(notes[0].first->data).number, 2);
    EXPECT_EQ(notes[0].second, "");

    o = set(alice, subId, 0, "x", num(2));
    EXPECT_EQ(recipients(o), (std::vector<std::string>{carol.clientId}));
    EXPECT_EQ(notesFor(o, carol).at(0).second, "sub");

    // Resolving the proxy makes Bob a holder; a writer who was not one becomes one.
    fetched(resolve(bob, subId));
    o = set(dave, subId, 1, "x", num(3));
    EXPECT_EQ(recipients(o),
              (std::vector<std::string>{alice.clientId, bob.clientId, carol.clientId}));
    o = set(alice, subId, 2, "x", num(4));
    EXPECT_EQ(recipients(o),
              (std::vector<std::string>{bob.clientId, carol.clientId, dave.clientId}));

    // A client that has gone hears nothing more.
    store().clientGone(carol.clientId);
    o = set(alice, subId, 3, "x", num(5));
    EXPECT_EQ(recipients(o), (std::vector<std::string>{bob.clientId, dave.clientId}));
}

TEST_F(NotificationTest, RecordsCarryWhatTheClientContainersApply) {
    createSample();
    fetch(bob, "", true);

    // A dictionary: a new key holding a new container, in the daemon's layout with its root id.
    const UUID fresh = newId();
    auto o = set(alice, rootId, 0, "new", dict(fresh, {{"k", str("v")}}, 2), true);
    auto notes = notesFor(o, bob);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first->type, ChangeType::childInserted);
    EXPECT_EQ(notes[0].first->revision, 1);
    const Node value = daemonValue(notes[0].first->data);
    EXPECT_EQ(value.id, fresh);
    EXPECT_EQ(value.root, rootId);
    EXPECT_EQ(value.revision, 2);
    EXPECT_EQ(value.at("k").text, "v");
    // Bob received it in full and now holds it.
    EXPECT_EQ(recipients(set(alice, fresh, 2, "k", str("w"))),
              (std::vector<std::string>{bob.clientId}));

    // A key the writer believed absent is reported by what the store held.
    notes = notesFor(set(alice, rootId, 1, "a", num(5), true), bob);
    EXPECT_EQ(notes.at(0).first->type, ChangeType::childChanged);
    notes = notesFor(update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "a"), bob);
    EXPECT_EQ(notes.at(0).first->type, ChangeType::childRemoved);
    EXPECT_EQ(notes.at(0).first->key, "a");
    EXPECT_TRUE(notes.at(0).first->data.empty());
    EXPECT_EQ(notes.at(0).first->revision, 3);

    // An array: each record at its indexes, an append at the index it landed at.
    auto arrayChange = [&](ChangeType type, std::int64_t revision, std::int64_t from,
                           std::int64_t to, bool value) {
        auto records = notesFor(update(alice, type, listId, revision, from, to, "",
                                       value ? clientBlob(num(42)) : std::vector<std::uint8_t>{}),
                                bob);
        EXPECT_EQ(records.size(), 1u);
        return records.empty()
                   ? VKChangeNotification(ChangeType::childChanged, {}, -1, -1, -1, "", {})
                   : *records[0].first;
    };
    auto r = arrayChange(ChangeType::childInserted, 0, 1, 1, true);
    EXPECT_EQ(std::tuple(r.type, r.from, r.to, r.revision),
              std::tuple(ChangeType::childInserted, 1, 1, 1));
    EXPECT_EQ(daemonValue(r.data).number, 42);
    r = arrayChange(ChangeType::childAppended, 1, 0, 0, true);
    EXPECT_EQ(std::tuple(r.type, r.from, r.to, r.revision),
              std::tuple(ChangeType::childAppended, 3, 3, 2));
    r = arrayChange(ChangeType::childChanged, 2, 0, 0, true);
    EXPECT_EQ(std::tuple(r.type, r.from, r.to), std::tuple(ChangeType::childChanged, 0, 0));
    r = arrayChange(ChangeType::childMoved, 3, 3, 1, false);
    EXPECT_EQ(std::tuple(r.type, r.from, r.to), std::tuple(ChangeType::childMoved, 3, 1));
    r = arrayChange(ChangeType::childRemoved, 4, 2, 2, false);
    EXPECT_EQ(std::tuple(r.type, r.from, r.to), std::tuple(ChangeType::childRemoved, 2, 2));
    EXPECT_TRUE(r.key.empty());
    r = arrayChange(ChangeType::childrenRemoved, 5, 0, 0, false);
    EXPECT_EQ(std::tuple(r.type, r.revision), std::tuple(ChangeType::childrenRemoved, 6));
    EXPECT_EQ(notesFor(set(alice, rootId, 3, "list", num(0)), bob).at(0).first->type,
              ChangeType::childChanged);
}

TEST_F(NotificationTest, PathsNameKeysAndIndexesFromTheRoot) {
    const UUID deep = newId();
    create(alice,
           dict(rootId, {{"list", arr(listId, {num(0), dict(subId, {{"d", dict(deep, {})}})})}}));
    fetch(bob, "", true);
    EXPECT_EQ(notesFor(set(alice, deep, 0, "k", num(1), true), bob).at(0).second, "list/1/d");
    EXPECT_EQ(notesFor(set(alice, subId, 0, "k", num(1), true), bob).at(0).second, "list/1");
    EXPECT_EQ(
        notesFor(update(alice, ChangeType::childRemoved, listId, 0, 0, 0, ""), bob).at(0).second,
        "list");
    // The move changed the index under which the sub-dictionary lies.
    EXPECT_EQ(notesFor(set(alice, deep, 1, "k", num(2)), bob).at(0).second, "list/0/d");
}

TEST_F(NotificationTest, MergedWriterHearsUpdateRevisionAfterEverythingElse) {
    createSample();
    fetch(bob, "", true);
    set(alice, rootId, 0, "a", num(2));

    // Bob, still at 0, replaces the sub-dictionary: merged, and the dropped container goes.
    auto o = set(bob, rootId, 0, "sub", num(0));
    EXPECT_EQ(updated(o).changeResult, ChangeResult::waitToBeUpdated);
    auto bobs = notesFor(o, bob);
    EXPECT_EQ(typesOf(bobs),
              (std::vector<ChangeType>{ChangeType::containerDeleted, ChangeType::updateRevision}));
    EXPECT_EQ(bobs.back().first->id, rootId);
    EXPECT_EQ(bobs.back().first->revision, 2);
    EXPECT_EQ(typesOf(notesFor(o, alice)),
              (std::vector<ChangeType>{ChangeType::childChanged, ChangeType::containerDeleted}));
}

TEST_F(NotificationTest, ContainersNoParentHoldsAreDeletedAndTheirHoldersTold) {
    const UUID outer = newId();
    const UUID inner = newId();
    const UUID shared = newId();
    const UUID item = newId();
    create(alice, dict(rootId, {{"a", dict(outer, {{"inner", dict(inner, {})}})},
                                {"b", dict(shared, {})},
                                {"c", ref(shared)},
                                {"list", arr(listId, {dict(item, {})})}}));
    fetch(bob, "", true);

    auto o = update(alice, ChangeType::childRemoved, rootId, 0, 0, 0, "a");
    auto bobs = notesFor(o, bob);
    ASSERT_EQ(bobs.size(), 3u);
    EXPECT_EQ(bobs[0].first->type, ChangeType::childRemoved);
    EXPECT_EQ(std::tuple(bobs[1].first->type, bobs[1].first->id),
              std::tuple(ChangeType::containerDeleted, outer));
    EXPECT_EQ(std::tuple(bobs[2].first->type, bobs[2].first->id),
              std::tuple(ChangeType::containerDeleted, inner));
    // The writer held them too: its client must stop treating them as the daemon's.
    EXPECT_EQ(typesOf(notesFor(o, alice)), (std::vector<ChangeType>{ChangeType::containerDeleted,
                                                                    ChangeType::containerDeleted}));
    EXPECT_EQ(failure(resolve(alice, outer)), VKError::containerNotFound);
    EXPECT_EQ(failure(resolve(alice, inner)), VKError::containerNotFound);

    // A container with another parent stays.
    o = update(alice, ChangeType::childRemoved, rootId, 1, 0, 0, "b");
    EXPECT_EQ(typesOf(notesFor(o, bob)), (std::vector<ChangeType>{ChangeType::childRemoved}));
    EXPECT_EQ(fetched(resolve(alice, shared)).id, shared);
    o = set(alice, rootId, 2, "c", num(0));
    EXPECT_EQ(typesOf(notesFor(o, bob)),
              (std::vector<ChangeType>{ChangeType::childChanged, ChangeType::containerDeleted}));

    o = update(alice, ChangeType::childrenRemoved, listId, 0, 0, 0, "");
    EXPECT_EQ(typesOf(notesFor(o, bob)),
              (std::vector<ChangeType>{ChangeType::childrenRemoved, ChangeType::containerDeleted}));
    EXPECT_EQ(failure(resolve(alice, item)), VKError::containerNotFound);
}

TEST_F(NotificationTest, DeletingAFileTellsEveryOtherHolder) {
    createSample();
    fetch(bob);
    fetched(resolve(carol, subId));
    fetched(resolve(dave, listId));
    store().clientGone(dave.clientId);

    const auto o = remove(alice);
    EXPECT_EQ(recipients(o), (std::vector<std::string>{bob.clientId, carol.clientId}));
    for (const auto& c : {bob, carol}) {
        const auto notes = notesFor(o, c);
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].first->type, ChangeType::settingsDeleted);
        EXPECT_EQ(notes[0].first->id, rootId);
        EXPECT_EQ(notes[0].second, "");
    }
}

TEST_F(NotificationTest, RequestsArrivingTogetherShareOneCommitAndFailAlone) {
    createSample();
    fetch(bob);
    auto setRequest = [&](const daemon::Caller& c, std::int64_t revision, const std::string& key,
                          std::int64_t value) {
        return daemon::PendingRequest{
            c, ClientRequest::UpdateSettings{std::make_shared<VKChangeNotification>(
                   ChangeType::childChanged, rootId, revision, 0, 0, key, clientBlob(num(value)))}};
    };
    const std::vector<daemon::PendingRequest> batch{
        setRequest(alice, 0, "a", 10),
        setRequest(bob, 0, "a", 11),  // sees Alice's change of the same batch: conflict
        setRequest(bob, 0, "b", 12),  // merged
        {eve, ClientRequest::FetchSettings{"org.example.app", 1000, "", false}},
        setRequest(alice, 2, "c", 13),
    };
    const auto outcomes = store().applyBatch(batch);
    ASSERT_EQ(outcomes.size(), batch.size());
    EXPECT_EQ(updated(outcomes[0]).changeResult, ChangeResult::done);
    EXPECT_EQ(updated(outcomes[1]).changeResult, ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(outcomes[2]).changeResult, ChangeResult::waitToBeUpdated);
    EXPECT_EQ(failure(outcomes[3]), VKError::fileDoesNotExist);
    EXPECT_EQ(updated(outcomes[4]).newRevision, 3);
    EXPECT_EQ(recipients(outcomes[0]), (std::vector<std::string>{bob.clientId}));
    EXPECT_EQ(typesOf(notesFor(outcomes[2], bob)),
              (std::vector<ChangeType>{ChangeType::updateRevision}));

    const Node top = fetched(fetch(alice));
    EXPECT_EQ(top.revision, 3);
    EXPECT_EQ(top.at("a").number, 10);
    EXPECT_EQ(top.at("b").number, 12);
    EXPECT_EQ(top.at("c").number, 13);
}
