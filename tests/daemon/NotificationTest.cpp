#include "DaemonTesting.h"
#include "support/LogCapture.h"

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

/// Rehearses every transaction once and lets it commit the second time, as the fleet's gate
/// does around etcd.
class RehearsingGate final : public daemon::CommitGate {
  public:
    void collect(daemon::ContainerStore&, daemon::Database&, const daemon::ChangeSet&) override {}
    bool pass(daemon::ContainerStore&, daemon::Database&) override {
        rehearsed_ = !rehearsed_;
        return !rehearsed_;
    }
    bool repeating() const override { return rehearsed_; }

  private:
    bool rehearsed_ = false;
};

}  // namespace

TEST_F(NotificationTest, OnlyOtherHoldersHearOfAChangeAndItsRecordCarriesWhatTheyApply) {
    fetch(bob);              // the root in full, the rest as proxies
    fetch(carol, "", true);  // everything

    EXPECT_EQ(recipients(set(alice, rootId, 0, "a", num(2))), (Ids{bob.clientId, carol.clientId}));
    auto o = set(alice, subId, 0, "x", num(2));
    EXPECT_EQ(recipients(o), (Ids{carol.clientId}));
    EXPECT_EQ(notesFor(o, carol).at(0).second, "sub");
    // Paths name keys and indexes from the root, and follow an array's item that moves.
    EXPECT_EQ(notesFor(set(alice, deepId, 0, "k", num(1), true), carol).at(0).second, "list/1/d");
    EXPECT_EQ(doneAt(update(alice, ChangeType::childMoved, listId, 0, 1, 0, "")), 1);
    EXPECT_EQ(notesFor(set(alice, deepId, 1, "k", num(2)), carol).at(0).second, "list/0/d");

    // A new container comes in the daemon's layout with its root id, and who received it in
    // full holds it.
    const UUID fresh = newId();
    const Node tree = dict(fresh, {{"k", str("v")}}, 2);
    const auto notes = notesFor(set(alice, rootId, 1, "new", tree, true), bob);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(std::tuple(notes[0].first->type, notes[0].first->data),
              std::tuple(ChangeType::childInserted, daemonBlob(tree, rootId)));
    EXPECT_EQ(recipients(set(alice, fresh, 2, "k", str("w"))), (Ids{bob.clientId, carol.clientId}));
    // A key the writer believed absent is reported by what the store held.
    EXPECT_EQ(typesFor(set(alice, rootId, 2, "a", num(5), true), bob),
              Types{ChangeType::childChanged});

    // A writer who was not a holder becomes one. A client that has gone hears nothing more, and
    // deleting the file tells the others.
    EXPECT_EQ(recipients(set(dave, subId, 1, "x", num(3))), (Ids{alice.clientId, carol.clientId}));
    store_->clientGone(carol.clientId);
    o = remove(alice);
    EXPECT_EQ(recipients(o), (Ids{bob.clientId, dave.clientId}));
    EXPECT_EQ(typesFor(o, dave), Types{ChangeType::settingsDeleted});
}

// What the clients of one user hold, and the subscription flags they keep, stay within the
// user limit together: a request that would pass it is refused and adds nothing, and a client
// that goes makes room. Another user has a limit of its own; root is not bounded by it.
TEST_F(NotificationTest, TheClientsOfOneUserHoldWithinTheUserLimit) {
    reopen({.maxUserHoldings = 8});  // the holdings die with the daemon, the file stays
    auto subscribe = [&](const daemon::Caller& c, const UUID& id) {
        return store_->handle(c, ClientRequest::SetHasSubscription{id, true});
    };
    ASSERT_FALSE(fetched(fetch(alice, "", true)).empty());  // all 5 containers
    EXPECT_EQ(failure(fetch(bob, "", true)), VKError::serverError);
    EXPECT_EQ(recipients(set(alice, rootId, 0, "a", num(2))), Ids{});  // bob holds nothing
    ASSERT_FALSE(fetched(fetch(bob)).empty());                         // the root alone: 6
    ASSERT_TRUE(succeeded(subscribe(bob, rootId)));
    ASSERT_TRUE(succeeded(subscribe(bob, subId)));  // 8
    EXPECT_EQ(failure(subscribe(bob, listId)), VKError::serverError);
    EXPECT_TRUE(succeeded(subscribe(bob, subId)));  // a flag already kept adds nothing

    const UUID evesRoot = newId();
    EXPECT_TRUE(succeeded(create(eve, dict(evesRoot, {{"s", dict(newId(), {})}}), 1001)));
    EXPECT_FALSE(fetched(fetch(root, "", true)).empty());

    store_->clientGone(alice.clientId);
    EXPECT_FALSE(fetched(fetch(bob, "", true)).empty());
    EXPECT_EQ(recipients(set(carol, subId, 0, "x", num(2))), (Ids{bob.clientId, root.clientId}));
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
    EXPECT_EQ(fetched(resolve(alice, shared)), daemonBlob(dict(shared, {}), rootId));
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
        {eve, ClientRequest::FetchSettings{"org.example.app", 1000, "", false}},  // refused
        {alice, setting(rootId, 1, "a", num(13))},
    };
    const auto outcomes = store_->applyBatch(batch);
    ASSERT_EQ(outcomes.size(), batch.size());
    EXPECT_EQ(std::tuple(doneAt(outcomes[0]), result(outcomes[1]), failure(outcomes[2]),
                         doneAt(outcomes[3])),
              std::tuple(1, ChangeResult::synchronizeConflict, VKError::fileDoesNotExist, 2));
    EXPECT_EQ(recipients(outcomes[0]), (Ids{bob.clientId}));

    // A request that needs more than its slice behind another is stopped and undone; the one
    // before it is kept and answered. Alone, or first of its batch, it runs to its end.
    Node wide = dict(newId(), {});
    for (int i = 0; i < 2047; ++i)
        wide.entries.emplace_back(std::to_string(i), dict(newId(), {}));
    const std::vector<daemon::PendingRequest> withHeavy{
        {alice, setting(rootId, 2, "a", num(14))},
        {alice, ClientRequest::CreateSettings{Blob(clientBlob(wide)), "org.example.wide", 1000}},
    };
    const auto first = store_->applyBatch(withHeavy);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(doneAt(first[0]), 3);
    EXPECT_EQ(fetched(fetch(bob, "a")), daemonBlob(num(14)));
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.wide")),
              VKError::fileDoesNotExist);
    const auto then = store_->applyBatch(std::span(withHeavy).subspan(1));
    ASSERT_EQ(then.size(), 1u);
    EXPECT_TRUE(succeeded(then[0]));
}

// A batch that a gate rehearses runs twice; its refusals are logged once, and only the second
// run stays.
TEST_F(NotificationTest, ARehearsedBatchCommitsOnceAndLogsItsRefusalsOnce) {
    LogCapture logs;
    RehearsingGate gate;
    const std::vector<daemon::PendingRequest> batch{
        {alice, setting(rootId, 0, "a", num(10))},
        {eve, ClientRequest::FetchSettings{"org.example.app", 1000, "", false}},  // refused
    };
    for (int run = 0; run < 2; ++run) {
        const auto outcomes = store_->applyBatch(batch, gate);
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(std::tuple(doneAt(outcomes[0]), failure(outcomes[1])),
                  std::tuple(1, VKError::fileDoesNotExist));
    }
    EXPECT_EQ(fetched(fetch(bob, "a")), daemonBlob(num(10)));
    EXPECT_EQ(logs->count(LogLevel::info, "refused"), 1u);
}
