#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <variant>

#include "../ValuesTesting.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "utils/OperationDeadline.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

using namespace std::chrono_literals;
using Clock = OperationDeadline::Clock;
using Type = ChangeType;
using Change = VKContainerChange;

std::vector<std::uint8_t> encoded(const VKObjectPtr& value) {
    SerializerOnClient encoder;
    serialize(*value, encoder);
    return encoder.takeArchiverData();
}
std::vector<std::uint8_t> string(const std::string& text) {
    return DaemonBlobWriter().string(text).encoded();
}
std::vector<std::uint8_t> number(std::int64_t value) {
    return DaemonBlobWriter().number(value).encoded();
}
// What is left of the operation under way.
Clock::duration timeLeft() {
    return OperationDeadline::current(Clock::duration::zero()) - Clock::now();
}

// Each change of an attached array [a,b,c] or dictionary {k=v} at revision 5: the record it
// sends, and what it leaves. The value placed is a new local container, shown as "C".
struct Op {
    std::string name;
    std::function<void(VKArray*, VKDictionary*, const VKObjectPtr&)> run;
    Type type;
    std::int64_t from, to;
    std::string key;
    std::string after;            // done, waitToBeUpdated, noRevisionIncrement, nothingChanged
    bool revisionOnWait = false;  // whether waitToBeUpdated gives the new revision too
    bool onDictionary() const { return !key.empty() || name == "removeAll"; }
    void operator()(VKContainer& c, const VKObjectPtr& value) const {
        run(dynamic_cast<VKArray*>(&c), dynamic_cast<VKDictionary*>(&c), value);
    }
};
using enum ChangeType;
const Op kOps[] = {
    {"set", [](auto a, auto, auto v) { a->set(1, v); }, childChanged, 1, 1, "", "a,C,c", false},
    {"insert", [](auto a, auto, auto v) { a->insert(1, v); }, childInserted, 1, 1, "", "a,C,b,c",
     true},
    {"append", [](auto a, auto, auto v) { a->append(v); }, childAppended, 0, 0, "", "a,b,c,C",
     true},
    {"remove", [](auto a, auto, auto) { a->remove(1); }, childRemoved, 1, 1, "", "a,c", true},
    {"move", [](auto a, auto, auto) { a->move(0, 2); }, childMoved, 0, 2, "", "b,c,a", true},
    {"clear", [](auto a, auto, auto) { a->removeAll(); }, childrenRemoved, 0, 0, "", "", true},
    {"new key", [](auto, auto d, auto v) { d->set("x", v); }, childInserted, 0, 0, "x", "k=v,x=C"},
    {"set key", [](auto, auto d, auto v) { d->set("k", v); }, childChanged, 0, 0, "k", "k=C"},
    {"remove key", [](auto, auto d, auto) { d->remove("k"); }, childRemoved, 0, 0, "k", ""},
    {"removeAll", [](auto, auto d, auto) { d->removeAll(); }, childrenRemoved, 0, 0, "", "", true}};

struct ChangeExchange : ::testing::Test {
    std::shared_ptr<VKArray> abc() {
        DaemonBlobWriter blob;
        blob.array(UUID::random(), root, 5, 3).string("a").string("b").string("c");
        return connection->decode<VKArray>(blob);
    }
    std::shared_ptr<VKDictionary> kv() {
        return connection->decode<VKDictionary>(
            DaemonBlobWriter().dictionary(UUID::random(), root, 5, 1).key("k").string("v"));
    }
    // What `op` changes: [a,b,c] or {k=v}.
    std::shared_ptr<VKContainer> changedBy(const Op& op) {
        return op.onDictionary() ? std::shared_ptr<VKContainer>(kv()) : abc();
    }
    // Accepts our change as `revision`, after running `meanwhile` (another client's change).
    void answer(std::int64_t revision, std::function<void()> meanwhile) {
        connection->publish = [=](const VKChangeNotification&) {
            meanwhile();
            return std::pair(ChangeResult::done, revision);
        };
    }
    // Events still queued hold their containers, which hold the connection: delivered here.
    ~ChangeExchange() override { connection->scheduler->runAll(); }
    std::shared_ptr<FakeConnection> connection = FakeConnection::make();
    UUID root = UUID::random();
};
using ContainerConcurrency = ChangeExchange;
using ServerChanges = ChangeExchange;

// Under each verdict of the daemon, when it refuses the change, and when the connection is lost
// during the exchange.
TEST_F(ChangeExchange, EachVerdictLeavesItemsRevisionAndValueAsItShould) {
    using enum ChangeResult;
    using Answer = std::variant<ChangeResult, VKError::Code>;
    for (const Answer answer :
         std::vector<Answer>{done, waitToBeUpdated, noRevisionIncrement, nothingChanged,
                             synchronizeConflict, VKError::invalidData, VKError::connectionLost}) {
        const auto* verdict = std::get_if<ChangeResult>(&answer);
        const std::optional<ChangeResult> result = verdict ? std::optional(*verdict) : std::nullopt;
        const VKError failure(verdict ? VKError::serverError : std::get<VKError::Code>(answer));
        // The daemon's next revision follows ours; a merge's may be any later one, and a change
        // that changed nothing reports the current one.
        const std::int64_t answered = result == done ? 6 : result == waitToBeUpdated ? 9 : 5;
        connection->publish = [=](const VKChangeNotification&) {
            return result ? std::pair(*result, answered) : throw failure;
        };
        for (const auto& op : kOps) {
            SCOPED_TRACE(
                op.name + " " +
                (result ? std::string(caseName(*result)) : std::string(failure.description())));
            auto c = changedBy(op);
            const auto before = text(*c);
            auto value = VKArray::make();
            const bool placed = op.after.find('C') != std::string::npos;
            const auto data = placed ? encoded(value) : std::vector<std::uint8_t>{};
            LogCapture log;
            const auto error = errorOf([&] { op(*c, value); });
            EXPECT_EQ(*connection->changes.back(),
                      VKChangeNotification(op.type, c->id(), 5, op.from, op.to, op.key, data));
            if (!result || result == synchronizeConflict) {
                // Everything is put back (a conflict is logged); the value is of no file and
                // no parent again, so it can be placed once more. When the daemon may have
                // taken the change, the container is fetched again before its next change.
                EXPECT_EQ(error, result ? VKError(VKError::synchronizeConflict) : failure);
                EXPECT_EQ(log->count(LogLevel::error, "synchronization conflict"),
                          result ? 1u : 0u);
                EXPECT_EQ(Access::outOfStep(*c).has_value(), failure == VKError::connectionLost);
                EXPECT_EQ(text(*c), before);
                EXPECT_THAT(value->getAllParents(), IsEmpty());
                EXPECT_TRUE(value->rootId().isZero());
            } else {
                const bool takes =
                    result == done || (result == waitToBeUpdated && op.revisionOnWait);
                EXPECT_EQ(error, std::nullopt);
                EXPECT_EQ(text(*c), op.after + "@" + std::to_string(takes ? answered : 5));
                EXPECT_EQ(value->rootId() == root && value->onServer(), placed);
            }
        }
    }
}

// Another client's change that the daemon ordered before or after ours may reach the array
// before our answer does, or after it: either way both apply in the daemon's order, indexes
// are checked again, and the revision never goes back.
TEST_F(ChangeExchange, OwnChangesAndReportsApplyInTheDaemonsOrder) {
    auto array = abc();
    auto report = [&](Type type, std::int64_t revision, std::int64_t index,
                      std::vector<std::uint8_t> data = {}) {
        Access::handleChangeFromServer(
            *array, *record(type, array->id(), revision, index, index, {}, std::move(data)), "");
    };
    EXPECT_EQ(errorOf([&] { array->move(0, 7); }), VKError::indexOutOfRange);
    EXPECT_EQ(connection->changes.size(), 1u);  // checked after the daemon's answer
    // Their removal of "c" (revision 6) is applied while ours of "c" is being asked for.
    answer(7, [&] { report(Type::childRemoved, 6, 2); });
    EXPECT_EQ(errorOf([&] { array->remove(2); }), VKError::indexOutOfRange);
    EXPECT_EQ(text(*array), "a,b@6");

    // Ours is revision 7 at index 2; theirs, revision 8 at index 3, arrives first.
    answer(7, [&] { report(Type::childAppended, 8, 3, string("x")); });
    EXPECT_EQ(array->append(str("d")), 2);
    EXPECT_EQ(text(*array), "a,b,d,x@8");

    // Theirs, a removal of revision 9, is still on its way when our answer (revision 10)
    // comes: ours waits for it.
    answer(10, [] {});
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        report(Type::childRemoved, 9, 0);
    });
    array->remove(0);  // the daemon removed "b", which stood at 0 after their removal of "a"
    late.join();
    EXPECT_EQ(text(*array), "d,x@10");
    report(Type::updateRevision, 9, 0);  // a late report never moves it back
    EXPECT_EQ(array->revision(), 10);

    // The array is fetched anew (a reader on another thread) while our append is on its way:
    // the fetched content holds it already, so it is not appended twice.
    answer(11, [&] {
        connection->decode(
            DaemonBlobWriter().array(array->id(), root, 11, 3).string("d").string("x").string("e"));
    });
    EXPECT_EQ(array->append(str("e")), 2);
    EXPECT_EQ(text(*array), "d,x,e@11");

    // The file is deleted while an append is on its way: the value stays local with the array.
    answer(12, [&] { connection->registry.unregisterHavingRootId(root); });
    auto value = VKArray::make();
    array->append(value);
    EXPECT_FALSE(array->onServer() || value->onServer());
    EXPECT_TRUE(value->rootId().isZero()) << "of no file, so it can be placed elsewhere";
}

// A change that waits for another thread's exchange on the same container (which holds the
// container's lock) waits within its own request time-out: its wait for the lock and its own
// request share one deadline, and a lock held past it fails the change with connectionLost,
// the local copy untouched and nothing sent.
TEST_F(ChangeExchange, AChangeWaitsForTheLockAndItsRequestWithinOneTimeOut) {
    LogCapture log;
    auto dictionary = kv();
    connection->timeout = 1s;
    std::vector<Clock::duration> left;  // what each exchange had left of its operation
    // While holdFor is set, the next exchange of the key "held" or of an array's item (which has
    // no key) tells `entered` and keeps the lock that long.
    std::optional<Clock::duration> holdFor;
    std::promise<void> entered;
    connection->publish = [&, revision = std::int64_t{5}](const VKChangeNotification& c) mutable {
        left.push_back(timeLeft());
        if (holdFor && (c.key == "held" || (c.key.empty() && c.type == Type::childChanged))) {
            const auto after = *holdFor;
            entered.set_value();
            std::this_thread::sleep_for(after);
        }
        return std::pair(ChangeResult::done, ++revision);
    };
    // Runs `holder` on a thread of its own until its exchange holds the lock, which it lets go
    // `after` from then.
    std::thread holding;
    auto hold = [&](const std::function<void()>& holder, Clock::duration after) {
        entered = std::promise<void>();
        holdFor = after;
        holding = std::thread(holder);
        entered.get_future().wait();
        holdFor.reset();
    };

    // The lock stays held past the time-out: a second change gives up when it ends, and so do
    // reads, which make no request (the typed getter gives its default).
    hold([&] { dictionary->set("held", num(1)); }, 3s);
    auto started = Clock::now();
    std::vector<std::future<bool>> gaveUp;
    for (const auto& wait : std::initializer_list<std::function<void()>>{
             [&] { dictionary->set("late", num(2)); }, [&] { dictionary->count(); },
             [&] { dictionary->hasKey("k"); }, [&] { dictionary->items(); }})
        gaveUp.push_back(std::async(std::launch::async,
                                    [=] { return errorOf(wait) == VKError::connectionLost; }));
    gaveUp.push_back(std::async(std::launch::async, [&] {
        return dictionary->get("k", std::string("default")) == "default";
    }));
    for (auto& each : gaveUp)
        EXPECT_TRUE(each.get());
    EXPECT_LT(Clock::now() - started, 2s) << "one time-out (1 s), not the other's exchange";
    EXPECT_EQ(log->count(LogLevel::error, "Timeout waiting for the container's lock"),
              gaveUp.size());
    holding.join();
    EXPECT_FALSE(dictionary->hasKey("late"));
    EXPECT_EQ(text(*dictionary), "held=1,k=v@6");
    ASSERT_EQ(connection->changes.size(), 1u);

    // Held for part of the time-out: the change's own request gets only what is left of it,
    // whether it is made under the lock or sent without it (a removal of all keys, a move); so
    // does the request for a proxy that a read meets.
    connection->timeout = 2s;
    auto array = abc();
    auto withProxy = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(UUID::random(), root, 5, 1).key("p").proxy(UUID::random()));
    connection->resolve = [&](const UUID& id) {
        left.push_back(timeLeft());
        return connection->decode<VKContainer>(DaemonBlobWriter().array(id, root, 1, 0));
    };
    const struct {
        std::function<void()> holder, change;
    } cases[] = {
        {[&] { dictionary->set("held", num(3)); }, [&] { dictionary->set("after", num(4)); }},
        {[&] { dictionary->set("held", num(5)); }, [&] { dictionary->removeAll(); }},
        {[&] { array->set(0, str("held")); }, [&] { array->move(0, 2); }},
        {[&] { withProxy->set("held", num(6)); }, [&] { withProxy->get("p"); }}};
    for (const auto& [holder, change] : cases) {
        hold(holder, 800ms);
        change();
        holding.join();
        ASSERT_GE(left.size(), 2u);
        // About 1.2 s: the 2 s of the operation less the 0.8 s spent waiting for the lock.
        EXPECT_GT(left.back(), 500ms) << "what is left of the operation, not nothing";
        EXPECT_LT(left.back(), 1500ms) << "the wait for the lock counts against the time-out";
    }
    EXPECT_EQ(left.size(), 9u);
    EXPECT_EQ(text(*dictionary), "@10");
    EXPECT_EQ(text(*array), "b,c,held@12");
    EXPECT_EQ(text(*withProxy), "held=6,p=C@13");
    EXPECT_EQ(withProxy->get("p")->kind(), VKObjectBase::Kind::array);
}

// A change sent without the lock that the daemon accepted after another client's change, whose
// report is still on its way, waits for that report only as long as its operation may still
// take: then it is made as the daemon made it, the late report is skipped when it comes, and
// the copy is fetched anew (after the daemon's pushes) to get what that report carried. Until
// then the copy counts as out of step, and a change of the caller would fetch it first.
TEST_F(ChangeExchange, AnAcceptedChangeWaitsForEarlierReportsWithinItsTimeOut) {
    LogCapture log;
    connection->timeout = 300ms;
    answer(7, [] {});  // the report of revision 6 does not come
    connection->resolve = [&](const UUID& id) {
        auto c = connection->registry.tryFind(id);
        auto blob = c->kind() == VKObjectBase::Kind::array
                        ? DaemonBlobWriter().array(id, root, 8, 1).string("z")
                        : DaemonBlobWriter().dictionary(id, root, 8, 1).key("k").string("z");
        return connection->decode<VKContainer>(blob);
    };
    for (const auto& op : kOps) {
        // Not the changes made under the lock: a key's, an array's set and insertion.
        if (!op.key.empty() || op.type == Type::childChanged || op.type == Type::childInserted)
            continue;
        SCOPED_TRACE(op.name);
        auto c = changedBy(op);
        const auto started = Clock::now();
        op(*c, VKArray::make());
        EXPECT_LT(Clock::now() - started, 1s) << "within the time-out (300 ms)";
        EXPECT_EQ(text(*c), op.after + "@7");
        EXPECT_TRUE(Access::outOfStep(*c).has_value());
        connection->runAfterPushes();
        EXPECT_EQ(text(*c), op.onDictionary() ? "k=z@8" : "z@8");
        EXPECT_FALSE(Access::outOfStep(*c).has_value());
    }
    EXPECT_EQ(log->count(LogLevel::warning, "did not come in time"), 5u);

    // Our removal of "b" (revision 7) follows another client's append of "x" (revision 6).
    auto array = abc();
    EventLog events(*array);
    connection->resolve = [&](const UUID& id) {
        return connection->decode<VKContainer>(
            DaemonBlobWriter().array(id, root, 7, 3).string("a").string("c").string("x"));
    };
    array->remove(1);
    EXPECT_EQ(text(*array), "a,c@7");
    EXPECT_EQ(
        connection->report({record(Type::childAppended, array->id(), 6, 3, 3, {}, string("x"))}),
        0);
    EXPECT_EQ(text(*array), "a,c@7") << "not applied out of order";
    connection->runAfterPushes();
    EXPECT_EQ(text(*array), "a,c,x@7");
    connection->scheduler->runAll();
    EXPECT_THAT(events.texts(), ElementsAre("didArrayChildAdd(index=2)"));
    // In step again: the next change is sent at once.
    answer(8, [] {});
    array->append(str("d"));
    EXPECT_EQ(text(*array), "a,c,x,d@8");
    EXPECT_EQ(connection->resolves.size(), 6u);
}

// A copy holds every change up to its revision: a report at or below it is skipped, however the
// copy got there. A change of ours that the daemon merged (it takes its revision only when the
// daemon reports it later) stays made when a content fetched before it is taken meanwhile.
TEST_F(ChangeExchange, ACopyTakesEachChangeOnceInTheDaemonsOrder) {
    // Fetched anew (its earlier copy released) after another client's append of "c" at revision
    // 6, whose report was still on its way.
    const UUID listId = UUID::random();
    auto list = connection->decode<VKArray>(
        DaemonBlobWriter().array(listId, root, 6, 3).string("a").string("b").string("c"));
    EXPECT_EQ(connection->report({record(Type::childAppended, listId, 6, 2, 2, {}, string("c")),
                                  record(Type::childRemoved, listId, 4, 0, 0)}),
              0);
    EXPECT_EQ(text(*list), "a,b,c@6");

    // Ours of "b" is merged at revision 7 after theirs of "k" at 6; a fetch answered before ours
    // (revision 6) is taken, then the report of theirs and the revision of ours arrive.
    const UUID dictId = UUID::random();
    auto dictionary = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(dictId, root, 5, 2).key("k").string("v").key("x").number(1));
    EventLog events(*dictionary);
    connection->publish = [](const VKChangeNotification& change) {
        return std::pair(ChangeResult::waitToBeUpdated, change.key == "b" ? std::int64_t{7} : 9);
    };
    dictionary->set("b", num(2));
    dictionary->remove("x");  // merged at revision 9
    EXPECT_EQ(text(*dictionary), "b=2,k=v@5");
    connection->decode(
        DaemonBlobWriter().dictionary(dictId, root, 6, 2).key("k").string("w").key("x").number(1));
    EXPECT_EQ(text(*dictionary), "b=2,k=w@6");
    EXPECT_EQ(connection->report({record(Type::childChanged, dictId, 6, 0, 0, "k", string("w")),
                                  record(Type::updateRevision, dictId, 7)}),
              0);
    EXPECT_EQ(text(*dictionary), "b=2,k=w@7");
    // Fetched at 8 (another client's change of "k"), before our removal of "x" at 9.
    DaemonBlobWriter at8;
    at8.dictionary(dictId, root, 8, 3).key("k").string("z").key("x").number(1).key("b").number(2);
    connection->decode(at8);
    EXPECT_EQ(text(*dictionary), "b=2,k=z@8");
    EXPECT_EQ(connection->report({record(Type::updateRevision, dictId, 9)}), 0);
    // Once its revision is reached a merged change is in every later content: one fetched at
    // 10 without "b" (another client removed it) is taken as it is.
    connection->decode(DaemonBlobWriter().dictionary(dictId, root, 10, 1).key("k").string("z"));
    EXPECT_EQ(text(*dictionary), "k=z@10");
    connection->scheduler->runAll();
    EXPECT_THAT(events.texts(),
                ElementsAre("didDictionaryChildReplace(key=k)", "didDictionaryChildReplace(key=k)",
                            "didDictionaryChildRemove(key=b)"));
}

// A report that reached the client before the fetch answer it follows was missed: no container
// held it yet, and the content is older. Until the container is fetched again, later reports wait
// rather than apply over the gap, so that nobody reads a later change without the earlier one.
TEST_F(ChangeExchange, ReportsAfterAMissedOneWaitForTheContentFetchedAgain) {
    const UUID id = UUID::random();
    EXPECT_EQ(connection->report({record(Type::childInserted, id, 6, 0, 0, "b", number(2))}), 0);
    auto dictionary = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(id, root, 5, 1).key("a").number(1));
    EventLog events(*dictionary);
    EXPECT_EQ(connection->report({record(Type::updateRevision, id, 7),
                                  record(Type::childInserted, id, 8, 0, 0, "c", number(3)),
                                  record(Type::childChanged, id, 9, 0, 0, "a", number(4))}),
              0);
    EXPECT_EQ(text(*dictionary), "a=1@5");
    EXPECT_TRUE(events.texts().empty());

    connection->resolve = [&](const UUID&) {
        return connection->decode<VKContainer>(
            DaemonBlobWriter().dictionary(id, root, 6, 2).key("a").number(1).key("b").number(2));
    };
    connection->runAfterPushes();
    EXPECT_EQ(text(*dictionary), "a=4,b=2,c=3@9");
    connection->scheduler->runAll();
    EXPECT_THAT(events.texts(),
                ElementsAre("didDictionaryChildAdd(key=b)", "didDictionaryChildAdd(key=c)",
                            "didDictionaryChildReplace(key=a)"));
    // In step again: the next report applies at once.
    EXPECT_EQ(connection->report({record(Type::childRemoved, id, 10, 0, 0, "c")}), 0);
    EXPECT_EQ(text(*dictionary), "a=4,b=2@10");
}

// A new container set into a dictionary and merged by the daemon is placed in the content
// fetched before it as well: the key keeps the very object the caller set, whose changes go on
// reaching the daemon. (The fetched content is a copy of the dictionary that does not belong to
// the connection, and the placement used to be refused there, dropping the key for good.)
TEST_F(ChangeExchange, AMergedNewContainerStaysInTheContentFetchedBeforeIt) {
    const UUID dictId = UUID::random();
    auto dictionary = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(dictId, root, 5, 1).key("k").string("v"));
    connection->publish = [](const VKChangeNotification& change) {
        return std::pair(ChangeResult::waitToBeUpdated, change.key == "c" ? std::int64_t{7} : 8);
    };
    auto child = VKDictionary::make();
    dictionary->set("c", child);
    // Fetched at 6 (another client's change of "k"), before ours of "c" at 7.
    connection->decode(DaemonBlobWriter().dictionary(dictId, root, 6, 1).key("k").string("w"));
    EXPECT_EQ(dictionary->get("c"), child);
    EXPECT_EQ(text(*dictionary), "c=C,k=w@6");
    EXPECT_EQ(connection->report({record(Type::updateRevision, dictId, 7)}), 0);
    EXPECT_EQ(dictionary->get("c"), child);
    EXPECT_EQ(child->rootId(), root);
    // The child is the dictionary's, attached: its own change is sent (and merged at 8).
    child->set("x", num(1));
    ASSERT_FALSE(connection->changes.empty());
    EXPECT_EQ(connection->changes.back()->id, child->id());
}

// Readers keep reading a parent and its child while a writer changes both (holding each write
// lock across its exchange with the daemon), the daemon's reports change the child, and
// prefetching and encoding walk from the parent into the child. Under ThreadSanitizer this also
// shows that parent and child items locks are always taken in the same order.
TEST_F(ContainerConcurrency, ReadersWritersReportsAndWalksInterleave) {
    connection->publish = [](const VKChangeNotification& change) {
        return std::pair(ChangeResult::noRevisionIncrement, change.revision);
    };
    const UUID childId = UUID::random();
    DaemonBlobWriter tree;
    tree.dictionary(root, root, 1, 1).key("child").dictionary(childId, root, 1, 0);
    auto parent = connection->decode<VKDictionary>(tree);
    auto child = std::dynamic_pointer_cast<VKDictionary>(parent->get("child"));
    ASSERT_TRUE(child);

    constexpr int kRounds = 60;
    std::atomic<bool> done{false};
    auto reader = [&] {
        while (!done.load()) {
            for (const auto& key : {"child", "a0", "a1"})
                if (auto value = parent->get(key))
                    value->description();
            SerializerOnClient encoder;
            serialize(*parent, encoder);
            child->hasKey("x");
            parent->prefetchContent(true);
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader)};
    std::thread notifier([&] {
        for (int i = 0; i < kRounds; ++i) {
            Access::handleChangeFromServer(
                *child,
                *record(Type::childInserted, childId, child->revision() + 1, 0, 0, "y", number(i)),
                "child");
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        auto fresh = VKArray::make();
        fresh->append(num(i));
        parent->set("a" + std::to_string(i % 2), fresh);
        child->set("x", num(i));
        if (i % 3 == 0)
            parent->remove("a0");
    }
    notifier.join();
    done = true;
    for (auto& t : readers)
        t.join();
    connection->scheduler->runAll();

    EXPECT_EQ(text(*child), "x=59,y=59@61");
    EXPECT_EQ(text(*parent), "a0=C,a1=C,child=C@1");  // a0 set again after the last removal
    auto a1 = std::dynamic_pointer_cast<VKContainer>(parent->get("a1"));
    EXPECT_TRUE(a1->onServer() && a1->rootId() == root);
}

// Two threads append to one array while another client's appends are reported, each answer and
// report racing the others: every append lands once, where the daemon put it, and the array
// ends at the daemon's revision. Under ThreadSanitizer this also covers the ordering state,
// created and released as changes come and go.
TEST_F(ContainerConcurrency, OwnAppendsAndReportsRaceIntoTheDaemonsOrder) {
    const UUID list = UUID::random();
    auto array = connection->decode<VKArray>(DaemonBlobWriter().array(list, root, 0, 0));
    std::mutex order;  // the daemon's: one revision per append, the index is the revision - 1
    std::int64_t revision = 0;
    connection->publish = [&](const VKChangeNotification&) {
        std::lock_guard lock(order);
        return std::pair(ChangeResult::done, ++revision);
    };
    constexpr int kEach = 150;
    onThreads(3, [&](int t) {
        for (int i = 0; i < kEach; ++i) {
            if (t < 2) {
                array->append(str("own"));
                continue;
            }
            std::int64_t at = 0;
            {
                std::lock_guard lock(order);
                at = ++revision;
            }
            const auto value = string("r" + std::to_string(at));
            Access::handleChangeFromServer(
                *array, *record(Type::childAppended, list, at, at - 1, at - 1, {}, value), "");
        }
    });
    connection->scheduler->runAll();
    const auto items = array->items();
    ASSERT_EQ(items.size(), 3u * kEach);
    EXPECT_EQ(array->revision(), 3 * kEach);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto text = items[i]->description();
        EXPECT_TRUE(text == "own" || text == "r" + std::to_string(i + 1)) << i << ": " << text;
    }
}

// Each of our appends follows another client's, whose report comes late or in time; appends that
// give up waiting for it have the array fetched again on another thread, while the reports still
// come and further appends go out. When all is done the array holds what the daemon holds.
TEST_F(ContainerConcurrency, LateReportsAndFetchesAgainRaceIntoTheDaemonsContent) {
    LogCapture quiet;
    connection->timeout = 20ms;
    const UUID list = UUID::random();
    auto array = connection->decode<VKArray>(DaemonBlobWriter().array(list, root, 0, 0));
    std::mutex state;  // the daemon's content, and the reports on their way (each with its time)
    std::vector<std::string> items;
    std::deque<std::pair<std::chrono::steady_clock::time_point, ChangeNotificationPtr>> reports;
    connection->publish = [&](const VKChangeNotification&) {
        std::lock_guard lock(state);
        const auto at = static_cast<std::int64_t>(items.size());
        items.push_back("r" + std::to_string(at));
        const auto late = std::chrono::milliseconds(at % 3 == 0 ? 0 : at % 3 == 1 ? 5 : 50);
        reports.emplace_back(
            std::chrono::steady_clock::now() + late,
            record(Type::childAppended, list, at + 1, at, at, {}, string(items.back())));
        items.push_back("own");
        return std::pair(ChangeResult::done, at + 2);
    };
    connection->resolve = [&](const UUID&) {
        std::lock_guard lock(state);
        DaemonBlobWriter blob;
        blob.array(list, root, static_cast<std::int64_t>(items.size()),
                   static_cast<std::int64_t>(items.size()));
        for (const auto& item : items)
            blob.string(item);
        return connection->decode<VKContainer>(blob);
    };
    std::atomic<bool> appending{true};
    auto deliverDue = [&](bool all) {
        for (;;) {
            ChangeNotificationPtr due;
            {
                std::lock_guard lock(state);
                if (reports.empty() ||
                    (!all && reports.front().first > std::chrono::steady_clock::now()))
                    return;
                due = reports.front().second;
                reports.pop_front();
            }
            Access::handleChangeFromServer(*array, *due, "");
        }
    };
    onThreads(3, [&](int t) {
        if (t == 0) {
            // An append may also find the array held past its short time-out (by a fetch or a
            // report): it then fails before it is sent, changing nothing.
            for (int i = 0; i < 60; ++i) {
                const auto error = errorOf([&] { array->append(str("own")); });
                EXPECT_TRUE(!error || error == VKError::connectionLost);
            }
            appending = false;
        }
        while (t > 0 && appending) {
            if (t == 1)
                deliverDue(false);
            else
                connection->runAfterPushes();
            std::this_thread::sleep_for(1ms);
        }
    });
    deliverDue(true);
    connection->runAfterPushes();
    connection->scheduler->runAll();
    std::lock_guard lock(state);
    EXPECT_EQ(array->revision(), static_cast<std::int64_t>(items.size()));
    std::vector<std::string> held;
    for (const auto& item : array->items())
        held.push_back(item->description());
    EXPECT_EQ(held, items);
    EXPECT_GE(quiet->count(LogLevel::warning, "did not come in time"), 10u);
    EXPECT_FALSE(connection->resolves.empty());
}

// One file: a root dictionary holding an array under "list" and a dictionary under "dict". The
// daemon reports a series of changes; each container applies them in order and its observers,
// and the root's, hear of them on the connection's scheduler.
TEST_F(ServerChanges, ArraysAndDictionariesApplyEveryRecordType) {
    const UUID list = UUID::random(), dict = UUID::random(), added = UUID::random(),
               proxied = UUID::random();
    DaemonBlobWriter tree;
    tree.dictionary(root, root, 1, 2).key("list").array(list, root, 5, 3);
    tree.string("a").string("b").string("c").key("dict").dictionary(dict, root, 3, 2);
    tree.key("k").string("v").key("p").proxy(proxied);
    auto top = connection->decode<VKDictionary>(tree);
    auto array = std::dynamic_pointer_cast<VKArray>(top->items().at("list"));
    auto dictionary = std::dynamic_pointer_cast<VKDictionary>(top->items().at("dict"));
    ASSERT_TRUE(array && dictionary);
    EventLog rootEvents(*top), arrayEvents(*array), dictEvents(*dictionary);

    EXPECT_EQ(connection->report(
                  {record(Type::childChanged, list, 6, 1, 1, {}, string("B")),
                   record(Type::childInserted, list, 7, 0, 0, {}, number(0)),
                   record(Type::childAppended, list, 8, 4, 4, {},
                          DaemonBlobWriter().array(added, root, 1, 1).number(42).encoded()),
                   record(Type::childRemoved, list, 9, 0, 0),
                   record(Type::childMoved, list, 10, 3, 0), record(Type::updateRevision, list, 11),
                   record(Type::childRemoved, list, 12, 9, 9),               // no such index
                   record(Type::childChanged, list, 12, 0, 0, {}, {1, 2})},  // not a blob
                  std::vector<std::string>(6, "list")),
              2);
    EXPECT_EQ(text(*array), "C,a,B,c@11");
    auto newChild = array->items()[0];
    EXPECT_EQ(newChild->description(), "arr(id=" + added.description() + ", count=1)");
    EXPECT_EQ(asContainer(newChild)->getAllParents().at(list), array);
    EXPECT_TRUE(asContainer(newChild)->onServer());
    EXPECT_THAT(arrayEvents.texts(),
                ElementsAre("didArrayChildReplace(index=1)", "didArrayChildAdd(index=0)",
                            "didArrayChildAdd(index=4)", "didArrayChildRemove(index=0)",
                            "didArrayChildRemove(index=3)", "didArrayChildAdd(index=0)"));
    EXPECT_EQ(arrayEvents.events[0].get<Change::DidArrayChildReplace>()->oldChild->description(),
              "b");

    EXPECT_EQ(connection->report({record(Type::childInserted, dict, 4, 0, 0, "n", string("new")),
                                  record(Type::childChanged, dict, 5, 0, 0, "k", number(1)),
                                  record(Type::childChanged, dict, 6, 0, 0, "p", number(2)),
                                  record(Type::childRemoved, dict, 7, 0, 0, "n"),
                                  record(Type::childRemoved, dict, 8, 0, 0, "missing"),
                                  record(Type::childAppended, dict, 9, 0, 0, {}, number(3)),
                                  record(Type::descendantChanged, dict, 9),
                                  record(Type::childChanged, dict, 5, 0, 0, "k", number(9)),
                                  record(Type::childInserted, root, 2, 0, 0, "x", number(7))},
                                 std::vector<std::string>(5, "dict")),
              1);
    // A late record (at or below the revision) is held already: skipped, the revision kept.
    EXPECT_EQ(text(*dictionary), "k=1,p=2@8");
    EXPECT_EQ(top->get("x")->description(), "7");
    // A replaced proxy reaches the observers as it stood, without a request to the daemon.
    EXPECT_THAT(dictEvents.texts(),
                ElementsAre("didDictionaryChildAdd(key=n)", "didDictionaryChildReplace(key=k)",
                            "didDictionaryChildReplace(key=p)", "didDictionaryChildRemove(key=n)"));
    EXPECT_EQ(dictEvents.events[2].get<Change::DidDictionaryChildReplace>()->oldChild->kind(),
              VKObjectBase::Kind::containerProxy);
    EXPECT_THAT(connection->resolves, IsEmpty());
    std::vector<std::string> expectedRoot(6, "didDescendantChange(path=list)");
    expectedRoot.insert(expectedRoot.end(), 5, "didDescendantChange(path=dict)");
    expectedRoot.push_back("didDictionaryChildAdd(key=x)");
    EXPECT_EQ(rootEvents.texts(), expectedRoot);

    // Clearing and deletion; detached containers refuse further records.
    EXPECT_EQ(
        connection->report(
            {record(Type::childrenRemoved, list, 13), record(Type::containerDeleted, list, 14),
             record(Type::childrenRemoved, dict, 9), record(Type::containerDeleted, dict, 10)}),
        0);
    EXPECT_EQ(text(*array) + text(*dictionary), "@14@10");
    EXPECT_FALSE(array->onServer() || dictionary->onServer());
    EXPECT_EQ(dictEvents.texts().back(), "didDelete");
    EXPECT_EQ(arrayEvents.texts().back(), "didDelete");
    EXPECT_EQ(arrayEvents.texts().rbegin()[1], "didRemoveAll");
    EXPECT_EQ(rootEvents.events.size(), expectedRoot.size() + 4);
    auto late = record(Type::updateRevision, dict, 11);
    EXPECT_EQ(errorOf([&] { Access::handleChangeFromServer(*dictionary, *late, ""); }),
              VKError::connectionLost);
}

// The daemon abandons containers (it stops telling us of their changes until we fetch them
// again): each is fetched again as the same object, takes the daemon's content and tells its
// observers what differs, and then, for a container below the root, the root's observers hear
// of it at its path, as for a change record. While it cannot be fetched its changes fail and
// change nothing, with containerNotFound once the daemon says it is gone; each change tries the
// fetch again.
TEST_F(ServerChanges, AnAbandonedContainerIsFetchedAgainBeforeItTakesChanges) {
    const UUID list = UUID::random();
    DaemonBlobWriter tree;
    tree.dictionary(root, root, 1, 1).key("list").array(list, root, 5, 2).string("a").string("b");
    auto top = connection->decode<VKDictionary>(tree);
    auto array = asArray(top->get("list"));
    ASSERT_NE(array, nullptr);
    EventLog events(*array), rootEvents(*top);
    std::vector<std::string> heard;  // both, in delivery order
    auto hear = [&](std::string who) {
        return [&heard, who](const Change& e) { heard.push_back(who + e.description()); };
    };
    auto heardFromList = array->observe(hear("list "));
    auto heardFromRoot = top->observe(hear("root "));
    std::optional<VKError> refusal;
    std::vector<std::string> content{"a", "B", "c"};
    std::int64_t revision = 9;
    connection->resolve = [&](const UUID& id) -> std::shared_ptr<VKContainer> {
        if (refusal)
            throw *refusal;
        DaemonBlobWriter blob;
        if (id == root)
            return connection->decode<VKContainer>(
                blob.dictionary(root, root, 2, 2).key("list").proxy(list).key("n").number(1));
        blob.array(list, root, revision, static_cast<std::int64_t>(content.size()));
        for (const auto& item : content)
            blob.string(item);
        return connection->decode<VKContainer>(blob);
    };
    connection->publish = [&](const VKChangeNotification&) {
        return std::pair(ChangeResult::done, ++revision);
    };

    EXPECT_EQ(connection->report({record(Type::containerAbandoned, list, 7)}, {"list"}), 0);
    EXPECT_EQ(text(*array), "a,B,c@9");
    EXPECT_TRUE(array->onServer());
    EXPECT_EQ(top->get("list"), array);
    EXPECT_THAT(events.texts(),
                ElementsAre("didArrayChildReplace(index=1)", "didArrayChildAdd(index=2)"));
    EXPECT_THAT(heard,
                ElementsAre("list didArrayChildReplace(index=1)", "list didArrayChildAdd(index=2)",
                            "root didDescendantChange(path=list)"));
    EXPECT_EQ(rootEvents.events.at(0).get<Change::DidDescendantChange>()->child, array);
    // A content that does not differ tells nobody; the root fetched again tells only its own.
    EXPECT_EQ(connection->report({record(Type::containerAbandoned, list, 9)}, {"list"}), 0);
    EXPECT_EQ(connection->report({record(Type::containerAbandoned, root, 2)}, {""}), 0);
    EXPECT_EQ(text(*top), "list=C,n=1@2");
    EXPECT_EQ(top->get("list"), array);
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard.back(), "root didDictionaryChildAdd(key=n)");
    array->append(str("d"));
    EXPECT_EQ(text(*array), "a,B,c,d@10");

    refusal = VKError(VKError::connectionLost);
    EXPECT_EQ(connection->report({record(Type::containerAbandoned, list, 10),
                                  record(Type::containerAbandoned, root, 2)}),
              0);
    EXPECT_EQ(errorOf([&] { array->set(0, str("x")); }), VKError::connectionLost);
    EXPECT_EQ(errorOf([&] { (void)array->append(str("x")); }), VKError::connectionLost);
    EXPECT_EQ(errorOf([&] { top->remove("list"); }), VKError::connectionLost);
    refusal = VKError(VKError::containerNotFound);
    EXPECT_EQ(errorOf([&] { array->removeAll(); }), VKError::containerNotFound);
    EXPECT_EQ(text(*array), "a,B,c,d@10");
    EXPECT_EQ(connection->changes.size(), 1u);

    refusal.reset();
    content = {"z"};
    revision = 12;
    array->set(0, str("y"));
    EXPECT_EQ(text(*array), "y@13");
    EXPECT_EQ(connection->changes.back()->revision, 12);
    top->remove("list");
    EXPECT_EQ(text(*top), "n=1@14");
    EXPECT_EQ(connection->resolves.size(), 11u);
}

// A daemon that is late is not sent a fetch by every change. Once a fetch or a change went
// unanswered within its time-out, the changes of the next moment fail at once without a request,
// and one retry at a time, in the background, brings the container back, also when nothing
// changes it meanwhile.
TEST_F(ServerChanges, AContainerTheDaemonIsLateWithIsFetchedByOneRetryAtATime) {
    connection->timeout = 50ms;
    auto late = [] {
        std::this_thread::sleep_for(80ms);  // as long as a request that times out waits
        return VKError(VKError::connectionLost);
    };
    DaemonBlobWriter tree;
    auto top =
        connection->decode<VKDictionary>(tree.dictionary(root, root, 1, 1).key("k").number(1));
    bool answering = false;
    connection->resolve = [&](const UUID&) -> std::shared_ptr<VKContainer> {
        if (!answering)
            throw late();
        DaemonBlobWriter blob;
        return connection->decode<VKContainer>(
            blob.dictionary(root, root, 3, 1).key("k").number(3));
    };
    std::int64_t revision = 3;
    connection->publish = [&](const VKChangeNotification&) {
        return std::pair(ChangeResult::done, ++revision);
    };
    EventLog events(*top);

    EXPECT_EQ(connection->report({record(Type::containerAbandoned, root, 2)}, {""}), 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(errorOf([&] { top->set("k", num(i)); }), VKError::connectionLost);
    EXPECT_EQ(connection->resolves.size(), 1u) << "a change fetched again";
    EXPECT_TRUE(connection->changes.empty());
    ASSERT_EQ(connection->afterPushes.size(), 1u);
    connection->runAfterPushes();  // still late: the retry schedules the next one
    EXPECT_EQ(connection->resolves.size(), 2u);
    ASSERT_EQ(connection->afterPushes.size(), 1u);
    answering = true;
    connection->runAfterPushes();
    connection->scheduler->runAll();
    EXPECT_EQ(text(*top), "k=3@3");
    EXPECT_THAT(events.texts(), ElementsAre("didDictionaryChildReplace(key=k)"));
    EXPECT_TRUE(connection->afterPushes.empty());

    // A change left unanswered: the next one is not sent, and the copy is fetched in the
    // background, once.
    connection->publish =
        [&](const VKChangeNotification&) -> std::pair<ChangeResult, std::int64_t> { throw late(); };
    EXPECT_EQ(errorOf([&] { top->set("k", num(5)); }), VKError::connectionLost);
    EXPECT_EQ(errorOf([&] { top->set("k", num(6)); }), VKError::connectionLost);
    EXPECT_EQ(connection->changes.size(), 1u);
    EXPECT_EQ(connection->resolves.size(), 3u);
    ASSERT_EQ(connection->afterPushes.size(), 1u);
    connection->runAfterPushes();
    EXPECT_EQ(connection->resolves.size(), 4u);
    EXPECT_EQ(text(*top), "k=3@3");
}

}  // namespace
}  // namespace velkor::test
