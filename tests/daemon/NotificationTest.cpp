#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const daemon::Caller dave{":1.20", 1000};  // never fetches anything

// root {a: 1, sub: {x: 1}, list: [0, {d: {}}]}
class NotificationTest : public StoreTest {
  protected:
    UUID rootId = newId(), subId = newId(), listId = newId(), itemId = newId(), deepId = newId();

    void SetUp() override {
        ASSERT_TRUE(succeeded(create(
            alice,
            dict(rootId,
                 {{"a", num(1)},
                  {"sub", dict(subId, {{"x", num(1)}})},
                  {"list", arr(listId, {num(0), dict(itemId, {{"d", dict(deepId, {})}})})}}))));
    }
};

using Ids = std::vector<std::string>;
using Types = std::vector<ChangeType>;

/// What the first record says: type, id or key, revision, path.
std::tuple<ChangeType, std::string, std::int64_t, std::string> first(
    const std::vector<std::pair<ChangeNotificationPtr, std::string>>& notes) {
    if (notes.empty())
        return {};
    const auto& r = *notes[0].first;
    return {r.type, r.key.empty() ? r.id.description() : r.key, r.revision, notes[0].second};
}

}  // namespace

TEST_F(NotificationTest, OnlyOtherClientsHoldingTheContainerHearOfIt) {
    fetch(bob);              // the root in full, the rest as proxies
    fetch(carol, "", true);  // everything

    auto o = set(alice, rootId, 0, "a", num(2));
    EXPECT_EQ(recipients(o), (Ids{bob.clientId, carol.clientId}));
    auto notes = notesFor(o, bob);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(std::tuple(notes[0].first->id, daemonValue(notes[0].first->data).number),
              std::tuple(rootId, 2));
    EXPECT_EQ(first(notes), std::tuple(ChangeType::childChanged, "a", 1, ""));

    o = set(alice, subId, 0, "x", num(2));
    EXPECT_EQ(recipients(o), (Ids{carol.clientId}));
    EXPECT_EQ(notesFor(o, carol).at(0).second, "sub");
    // Paths name keys and indexes from the root.
    EXPECT_EQ(notesFor(set(alice, deepId, 0, "k", num(1), true), carol).at(0).second, "list/1/d");

    // Resolving the proxy makes Bob a holder; a writer who was not one becomes one.
    fetched(resolve(bob, subId));
    EXPECT_EQ(recipients(set(dave, subId, 1, "x", num(3))),
              (Ids{alice.clientId, bob.clientId, carol.clientId}));
    EXPECT_EQ(recipients(set(alice, subId, 2, "x", num(4))),
              (Ids{bob.clientId, carol.clientId, dave.clientId}));

    // A client that has gone hears nothing more, and deleting the file tells the others.
    store().clientGone(carol.clientId);
    o = remove(alice);
    EXPECT_EQ(recipients(o), (Ids{bob.clientId, dave.clientId}));
    EXPECT_EQ(typesFor(o, dave), Types{ChangeType::settingsDeleted});
    EXPECT_EQ(notesFor(o, bob).at(0).first->id, rootId);
}

TEST_F(NotificationTest, RecordsCarryWhatTheClientContainersApply) {
    fetch(bob, "", true);

    // A new key holding a new container, in the daemon's layout with its root id.
    const UUID fresh = newId();
    auto notes =
        notesFor(set(alice, rootId, 0, "new", dict(fresh, {{"k", str("v")}}, 2), true), bob);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first->type, ChangeType::childInserted);
    const Node value = daemonValue(notes[0].first->data);
    EXPECT_EQ(std::tuple(value.id, value.root, value.revision, value.at("k").text),
              std::tuple(fresh, rootId, 2, "v"));
    // Bob received it in full and now holds it.
    EXPECT_EQ(recipients(set(alice, fresh, 2, "k", str("w"))), (Ids{bob.clientId}));

    // A key the writer believed absent is reported by what the store held.
    EXPECT_EQ(typesFor(set(alice, rootId, 1, "a", num(5), true), bob),
              Types{ChangeType::childChanged});
    notes = notesFor(update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "a"), bob);
    EXPECT_EQ(first(notes), std::tuple(ChangeType::childRemoved, "a", 3, ""));
    EXPECT_TRUE(notes.at(0).first->data.empty());

    // An array: each record at its indexes, an append at the index it landed at.
    auto arrayChange = [&](ChangeType type, std::int64_t revision, std::int64_t from,
                           std::int64_t to, bool value) {
        auto records = notesFor(update(alice, type, listId, revision, from, to, "",
                                       value ? clientBlob(num(42)) : std::vector<std::uint8_t>{}),
                                bob);
        EXPECT_EQ(records.size(), 1u);
        const auto& r = *records.at(0).first;
        return std::tuple(r.type, r.from, r.to, r.revision, records.at(0).second);
    };
    EXPECT_EQ(arrayChange(ChangeType::childInserted, 0, 1, 1, true),
              std::tuple(ChangeType::childInserted, 1, 1, 1, "list"));
    EXPECT_EQ(arrayChange(ChangeType::childAppended, 1, 0, 0, true),
              std::tuple(ChangeType::childAppended, 3, 3, 2, "list"));
    EXPECT_EQ(arrayChange(ChangeType::childMoved, 2, 2, 0, false),
              std::tuple(ChangeType::childMoved, 2, 0, 3, "list"));
    // The move changed the index under which the sub-dictionary lies.
    EXPECT_EQ(notesFor(set(alice, deepId, 0, "k", num(2), true), bob).at(0).second, "list/0/d");
    EXPECT_EQ(arrayChange(ChangeType::childRemoved, 3, 1, 1, false),
              std::tuple(ChangeType::childRemoved, 1, 1, 4, "list"));
}

TEST_F(NotificationTest, ContainersNoParentHoldsAreDeletedAndTheirHoldersTold) {
    const UUID shared = newId();
    set(alice, rootId, 0, "b", dict(shared, {}), true);
    set(alice, rootId, 1, "c", ref(shared), true);
    fetch(bob, "", true);

    auto o = update(alice, ChangeType::childrenRemoved, listId, 0, 0, 0, "");
    auto bobs = notesFor(o, bob);
    ASSERT_EQ(bobs.size(), 3u);
    EXPECT_EQ(std::tuple(bobs[0].first->type, bobs[1].first->type, bobs[1].first->id,
                         bobs[2].first->type, bobs[2].first->id),
              std::tuple(ChangeType::childrenRemoved, ChangeType::containerDeleted, itemId,
                         ChangeType::containerDeleted, deepId));
    // The writer held them too: its client must stop treating them as the daemon's.
    EXPECT_EQ(typesFor(o, alice),
              (Types{ChangeType::containerDeleted, ChangeType::containerDeleted}));
    EXPECT_EQ(failure(resolve(alice, deepId)), VKError::containerNotFound);

    // A container with another parent stays until the last one lets it go.
    o = update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "b");
    EXPECT_EQ(typesFor(o, bob), Types{ChangeType::childRemoved});
    EXPECT_EQ(fetched(resolve(alice, shared)).id, shared);
    EXPECT_EQ(typesFor(set(alice, rootId, 3, "c", num(0)), bob),
              (Types{ChangeType::childChanged, ChangeType::containerDeleted}));

    // A merged writer hears of its new revision after everything else.
    set(alice, rootId, 4, "a", num(2));
    o = set(bob, rootId, 4, "sub", num(0));
    EXPECT_EQ(result(o), ChangeResult::waitToBeUpdated);
    EXPECT_EQ(typesFor(o, bob), (Types{ChangeType::containerDeleted, ChangeType::updateRevision}));
    EXPECT_EQ(notesFor(o, bob).back().first->revision, 6);
    EXPECT_EQ(typesFor(o, alice), (Types{ChangeType::childChanged, ChangeType::containerDeleted}));
}

TEST_F(NotificationTest, RequestsArrivingTogetherShareOneCommitAndFailAlone) {
    fetch(bob);
    const std::vector<daemon::PendingRequest> batch{
        {alice, setting(rootId, 0, "a", num(10))},
        {bob, setting(rootId, 0, "a", num(11))},  // sees Alice's change of the same batch
        {bob, setting(rootId, 0, "b", num(12))},  // merged
        {eve, ClientRequest::FetchSettings{"org.example.app", 1000, "", false}},
        {alice, setting(rootId, 2, "c", num(13))},
    };
    const auto outcomes = store().applyBatch(batch);
    ASSERT_EQ(outcomes.size(), batch.size());
    EXPECT_EQ(std::tuple(result(outcomes[0]), result(outcomes[1]), result(outcomes[2])),
              std::tuple(ChangeResult::done, ChangeResult::synchronizeConflict,
                         ChangeResult::waitToBeUpdated));
    EXPECT_EQ(failure(outcomes[3]), VKError::fileDoesNotExist);
    EXPECT_EQ(doneAt(outcomes[4]), 3);
    EXPECT_EQ(recipients(outcomes[0]), (Ids{bob.clientId}));
    EXPECT_EQ(typesFor(outcomes[2], bob), Types{ChangeType::updateRevision});

    const Node top = fetched(fetch(alice));
    EXPECT_EQ(std::tuple(top.revision, top.at("a").number, top.at("b").number, top.at("c").number),
              std::tuple(3, 10, 12, 13));
}
