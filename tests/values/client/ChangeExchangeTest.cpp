#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"
#include "support/LogCapture.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

// Items as text: "a,b,c" for an array, "k=v" for a dictionary; containers read "C".
std::string text(const VKContainer& c) {
    auto item = [](const VKObjectPtr& v) { return v->isContainer() ? "C" : v->description(); };
    std::string out;
    if (auto* array = dynamic_cast<const VKArray*>(&c)) {
        for (const auto& v : array->items())
            out += (out.empty() ? "" : ",") + item(v);
    } else {
        std::map<std::string, std::string> sorted;
        for (const auto& [k, v] : dynamic_cast<const VKDictionary&>(c).items())
            sorted[k] = item(v);
        for (const auto& [k, v] : sorted)
            out += (out.empty() ? "" : ",") + k + "=" + v;
    }
    return out;
}

std::vector<std::uint8_t> encoded(const VKObjectPtr& value) {
    SerializerOnClient encoder;
    serialize(*value, encoder);
    return encoder.takeArchiverData();
}

// Each change of an attached array [a,b,c] or dictionary {k=v} at revision 5, with what it
// leaves under each verdict. The value placed is a new local container, shown as "C".
struct Op {
    std::string name;
    std::function<void(VKContainer&, const VKObjectPtr&)> run;
    std::string after;          // done, waitToBeUpdated, noRevisionIncrement, nothingChanged
    bool revisionOnWait;        // whether waitToBeUpdated gives the new revision too
    std::string afterLost;      // when the connection is lost during the exchange
    std::string conflictWords;  // the conflict line, between "during " and " (id="
};

VKArray& arr(VKContainer& c) {
    return dynamic_cast<VKArray&>(c);
}
VKDictionary& dic(VKContainer& c) {
    return dynamic_cast<VKDictionary&>(c);
}

const std::vector<Op> kOps = {
    {"array set", [](auto& c, auto v) { arr(c).set(1, v); }, "a,C,c", false, "a,C,c",
     "set at 1 index"},
    {"insert", [](auto& c, auto v) { arr(c).insert(1, v); }, "a,C,b,c", true, "a,C,b,c",
     "insert into 1 index"},
    {"append", [](auto& c, auto v) { arr(c).append(v); }, "a,b,c,C", true, "a,b,c",
     "insert into 3 index"},
    {"array remove", [](auto& c, auto) { arr(c).remove(1); }, "a,c", true, "a,b,c",
     "remove at 1 index"},
    {"move", [](auto& c, auto) { arr(c).move(0, 2); }, "b,c,a", true, "a,b,c",
     "move from 0 to 2 index"},
    {"array removeAll", [](auto& c, auto) { arr(c).removeAll(); }, "", true, "a,b,c",
     "removal of all children."},
    {"new key", [](auto& c, auto v) { dic(c).set("x", v); }, "k=v,x=C", false, "k=v,x=C",
     "set @ 'x' key"},
    {"set key", [](auto& c, auto v) { dic(c).set("k", v); }, "k=C", false, "k=C", "set @ 'k' key"},
    {"remove key", [](auto& c, auto) { dic(c).remove("k"); }, "", false, "", "remove @ 'k' key."},
    {"removeAll", [](auto& c, auto) { dic(c).removeAll(); }, "", true, "k=v",
     "removal of all children."},
};

struct ChangeExchange : ::testing::Test {
    std::shared_ptr<VKContainer> make(const Op& op) {
        if (op.name.find("key") != std::string::npos || op.name == "removeAll") {
            return daemon.decode<VKContainer>(
                DaemonBlobWriter().dictionary(UUID::random(), root, 5, 1).key("k").string("v"));
        }
        return daemon.decode<VKContainer>(DaemonBlobWriter()
                                              .array(UUID::random(), root, 5, 3)
                                              .string("a")
                                              .string("b")
                                              .string("c"));
    }
    DaemonConnection daemon;
    UUID root = UUID::random();
};

TEST_F(ChangeExchange, EachVerdictLeavesItemsAndRevisionAsDocumented) {
    for (auto result : {ChangeResult::done, ChangeResult::waitToBeUpdated,
                        ChangeResult::noRevisionIncrement, ChangeResult::nothingChanged}) {
        // The daemon's next revision follows ours; a merge's may be any later one, and a change
        // that changed nothing reports the current one.
        const std::int64_t answered = result == ChangeResult::done              ? 6
                                      : result == ChangeResult::waitToBeUpdated ? 9
                                                                                : 5;
        daemon.answerUpdates(result, answered);
        for (const auto& op : kOps) {
            auto c = make(op);
            auto value = VKArray::make();
            op.run(*c, value);
            const bool takes = result == ChangeResult::done ||
                               (result == ChangeResult::waitToBeUpdated && op.revisionOnWait);
            EXPECT_EQ(text(*c), op.after) << op.name << " " << caseName(result);
            EXPECT_EQ(c->revision(), takes ? answered : 5) << op.name << " " << caseName(result);
            if (op.after.find('C') != std::string::npos) {  // the value joined file and connection
                EXPECT_EQ(value->rootId(), root) << op.name;
                EXPECT_TRUE(value->onServer()) << op.name;
            }
        }
    }
}

TEST_F(ChangeExchange, AConflictUndoesLogsAndThrows) {
    daemon.answerUpdates(ChangeResult::synchronizeConflict, 9);
    for (const auto& op : kOps) {
        auto c = make(op);
        const auto before = text(*c);
        auto value = VKArray::make();
        LogCapture log;
        EXPECT_EQ(errorOf([&] { op.run(*c, value); }), VKError::synchronizeConflict) << op.name;
        const std::string kind = c->isArray() ? "array" : "dictionary";
        EXPECT_EQ(log->count(LogLevel::error,
                             "There was " + kind + " synchronization conflict during " +
                                 op.conflictWords + " (id=" + c->id().description() + ")."),
                  1u)
            << op.name;
        EXPECT_EQ(text(*c), before) << op.name;
        EXPECT_EQ(c->revision(), 5) << op.name;
        // The value is of no file and no parent again, so it can be placed once more.
        EXPECT_TRUE(value->getAllParents().empty()) << op.name;
        EXPECT_TRUE(value->rootId().isZero()) << op.name;
    }
}

TEST_F(ChangeExchange, ALostConnectionKeepsWhatWasChangedBeforeAsking) {
    daemon.daemon->endChannel();
    daemon.daemon->waitUntilIdle();
    for (const auto& op : kOps) {
        auto c = make(op);
        auto value = VKArray::make();
        EXPECT_EQ(errorOf([&] { op.run(*c, value); }), VKError::connectionLost) << op.name;
        EXPECT_EQ(text(*c), op.afterLost) << op.name;
        EXPECT_EQ(c->revision(), 5) << op.name;
        EXPECT_EQ(value->getAllParents().empty(), op.afterLost.find('C') == std::string::npos);
    }
}

TEST_F(ChangeExchange, RecordsCarryTheChangeAndNoChangeSendsNothing) {
    auto array = daemon.decode<VKArray>(
        DaemonBlobWriter().array(UUID::random(), root, 5, 3).string("a").string("b").string("c"));
    auto child = VKArray::make();
    child->append(num(1));
    array->set(1, child);
    array->insert(3, str("d"));
    EXPECT_EQ(array->append(str("e")), 4);
    array->remove(0);
    array->move(0, 2);
    array->set(1, str("d"));  // equal value
    array->move(2, 2);        // same index
    EXPECT_EQ(errorOf([&] { array->remove(9); }), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { array->insert(9, str("x")); }), VKError::indexOutOfRange);
    array->set(0, child);  // attached now: travels as a reference
    auto dictionary = daemon.decode<VKDictionary>(
        DaemonBlobWriter().dictionary(UUID::random(), root, 1, 1).key("k").string("v"));
    dictionary->set("n", num(1));
    dictionary->set("n", num(2));
    dictionary->set("n", num(2));   // equal value
    dictionary->remove("missing");  // no such key
    dictionary->remove("n");

    auto updates = daemon.updates();
    ASSERT_EQ(updates.size(), 9u);
    auto expected = [&](ChangeType type, const VKContainer& c, std::int64_t revision,
                        std::int64_t from, std::int64_t to, std::string key, VKObjectPtr value) {
        return VKChangeNotification(type, c.id(), revision, from, to, std::move(key),
                                    value ? encoded(value) : std::vector<std::uint8_t>{});
    };
    EXPECT_EQ(updates[0]->data.size(), 7 + 1 + 17 + 3 + 2u);  // the child in full
    EXPECT_EQ(*updates[1], expected(ChangeType::childInserted, *array, 6, 3, 3, {}, str("d")));
    EXPECT_EQ(*updates[2], expected(ChangeType::childAppended, *array, 7, 0, 0, {}, str("e")));
    EXPECT_EQ(*updates[3], expected(ChangeType::childRemoved, *array, 8, 0, 0, {}, nullptr));
    EXPECT_EQ(*updates[4], expected(ChangeType::childMoved, *array, 9, 0, 2, {}, nullptr));
    EXPECT_EQ(*updates[5], expected(ChangeType::childChanged, *array, 10, 0, 0, {}, child));
    EXPECT_EQ(updates[5]->data.size(), 7 + 1 + 17u);
    EXPECT_EQ(*updates[6], expected(ChangeType::childInserted, *dictionary, 1, 0, 0, "n", num(1)));
    EXPECT_EQ(*updates[7], expected(ChangeType::childChanged, *dictionary, 2, 0, 0, "n", num(2)));
    EXPECT_EQ(*updates[8], expected(ChangeType::childRemoved, *dictionary, 3, 0, 0, "n", nullptr));
    EXPECT_EQ(text(*array), "C,d,C,e");
    EXPECT_EQ(array->revision(), 11);
}

TEST_F(ChangeExchange, IndexesAreCheckedAgainAfterTheDaemonAccepted) {
    auto array = daemon.decode<VKArray>(
        DaemonBlobWriter().array(UUID::random(), root, 5, 3).string("a").string("b").string("c"));
    EXPECT_EQ(errorOf([&] { array->move(0, 7); }), VKError::indexOutOfRange);
    ASSERT_EQ(daemon.updates().size(), 1u);
    // Another client's removal is applied while this removal is being asked for.
    daemon.daemon->setHandler([&](const ClientRequest&) -> std::optional<ServerResponse> {
        Access::handleChangeFromServer(*array,
                                       *record(ChangeType::childRemoved, array->id(), 6, 2, 2), "");
        return ServerResponse::SettingsUpdated{ChangeResult::done, 7};
    });
    EXPECT_EQ(errorOf([&] { array->remove(2); }), VKError::indexOutOfRange);
    EXPECT_EQ(text(*array), "a,b");
    EXPECT_EQ(array->revision(), 6);
}

// Another client's change that the daemon ordered after ours may reach the array before our
// answer does, or after it: either way both apply in the daemon's order.
TEST_F(ChangeExchange, OwnChangesAndReportsApplyInTheDaemonsOrder) {
    auto array = daemon.decode<VKArray>(
        DaemonBlobWriter().array(UUID::random(), root, 5, 3).string("a").string("b").string("c"));
    auto appendOf = [&](std::int64_t revision, std::int64_t index, const char* text) {
        return record(ChangeType::childAppended, array->id(), revision, index, index, {},
                      DaemonBlobWriter().string(text).encoded());
    };
    // Ours is revision 6 at index 3; theirs, revision 7 at index 4, arrives first.
    daemon.daemon->setHandler([&](const ClientRequest&) -> std::optional<ServerResponse> {
        Access::handleChangeFromServer(*array, *appendOf(7, 4, "x"), "");
        return ServerResponse::SettingsUpdated{ChangeResult::done, 6};
    });
    EXPECT_EQ(array->append(str("d")), 3);
    EXPECT_EQ(text(*array), "a,b,c,d,x");
    EXPECT_EQ(array->revision(), 7);

    // Theirs, a removal of revision 8, is still on its way when our answer (revision 9) comes:
    // ours waits for it, and the revision never goes back.
    daemon.daemon->setHandler([&](const ClientRequest&) -> std::optional<ServerResponse> {
        return ServerResponse::SettingsUpdated{ChangeResult::done, 9};
    });
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Access::handleChangeFromServer(*array,
                                       *record(ChangeType::childRemoved, array->id(), 8, 0, 0), "");
    });
    array->remove(0);  // the daemon removed "b", which stood at 0 after their removal of "a"
    late.join();
    EXPECT_EQ(text(*array), "c,d,x");
    EXPECT_EQ(array->revision(), 9);

    // The file is deleted while an append is on its way: the value stays local with the array.
    daemon.daemon->setHandler([&](const ClientRequest&) -> std::optional<ServerResponse> {
        daemon.connection->registryOfContainers().unregisterHavingRootId(root);
        return ServerResponse::SettingsUpdated{ChangeResult::done, 10};
    });
    auto value = VKArray::make();
    array->append(value);
    EXPECT_FALSE(array->onServer());
    EXPECT_FALSE(value->onServer());
}

}  // namespace
}  // namespace velkor::test
