#include "../ValuesTesting.h"

namespace velkor::test {
namespace {

using Type = ChangeType;
using Change = VKContainerChange;

std::vector<std::uint8_t> string(const char* text) {
    return DaemonBlobWriter().string(text).encoded();
}
std::vector<std::uint8_t> number(std::int64_t value) {
    return DaemonBlobWriter().number(value).encoded();
}

// One file: a root dictionary holding an array under "list" and a dictionary under "dict". The
// daemon reports a series of changes; each container applies them in order and its observers,
// and the root's, hear of them on the connection's scheduler.
TEST(ServerChanges, ArraysAndDictionariesApplyEveryRecordType) {
    auto daemon = FakeConnection::make();
    const UUID root = UUID::random(), list = UUID::random(), dict = UUID::random(),
               added = UUID::random(), proxied = UUID::random();
    DaemonBlobWriter tree;
    tree.dictionary(root, root, 1, 2).key("list").array(list, root, 5, 3);
    tree.string("a").string("b").string("c").key("dict").dictionary(dict, root, 3, 2);
    tree.key("k").string("v").key("p").proxy(proxied);
    auto top = daemon->decode<VKDictionary>(tree);
    auto array = std::dynamic_pointer_cast<VKArray>(top->items().at("list"));
    auto dictionary = std::dynamic_pointer_cast<VKDictionary>(top->items().at("dict"));
    ASSERT_TRUE(array && dictionary);
    EventLog rootEvents(*top), arrayEvents(*array), dictEvents(*dictionary);

    const int refusedInArray = daemon->report(
        {record(Type::childChanged, list, 6, 1, 1, {}, string("B")),
         record(Type::childInserted, list, 7, 0, 0, {}, number(0)),
         record(Type::childAppended, list, 8, 4, 4, {},
                DaemonBlobWriter().array(added, root, 1, 1).number(42).encoded()),
         record(Type::childRemoved, list, 9, 0, 0), record(Type::childMoved, list, 10, 3, 0),
         record(Type::updateRevision, list, 11),
         record(Type::childRemoved, list, 12, 9, 9),               // no such index
         record(Type::childChanged, list, 12, 0, 0, {}, {1, 2})},  // not a blob
        std::vector<std::string>(6, "list"));
    EXPECT_EQ(refusedInArray, 2);
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

    const int refusedInDictionary =
        daemon->report({record(Type::childInserted, dict, 4, 0, 0, "n", string("new")),
                        record(Type::childChanged, dict, 2, 0, 0, "k", number(1)),
                        record(Type::childChanged, dict, 3, 0, 0, "p", number(2)),
                        record(Type::childRemoved, dict, 5, 0, 0, "n"),
                        record(Type::childRemoved, dict, 6, 0, 0, "missing"),
                        record(Type::childAppended, dict, 7, 0, 0, {}, number(3)),
                        record(Type::descendantChanged, dict, 7),
                        record(Type::childInserted, root, 2, 0, 0, "x", number(7))},
                       std::vector<std::string>(5, "dict"));
    EXPECT_EQ(refusedInDictionary, 1);
    EXPECT_EQ(text(*dictionary), "k=1,p=2@6");  // a late record never moves the revision back
    EXPECT_EQ(top->get("x")->description(), "7");
    // A replaced proxy reaches the observers as it stood, without a request to the daemon.
    EXPECT_THAT(dictEvents.texts(),
                ElementsAre("didDictionaryChildAdd(key=n)", "didDictionaryChildReplace(key=k)",
                            "didDictionaryChildReplace(key=p)", "didDictionaryChildRemove(key=n)"));
    EXPECT_EQ(dictEvents.events[2].get<Change::DidDictionaryChildReplace>()->oldChild->kind(),
              VKObjectBase::Kind::containerProxy);
    EXPECT_THAT(daemon->resolves, IsEmpty());
    std::vector<std::string> expectedRoot(6, "didDescendantChange(path=list)");
    expectedRoot.insert(expectedRoot.end(), 5, "didDescendantChange(path=dict)");
    expectedRoot.push_back("didDictionaryChildAdd(key=x)");
    EXPECT_EQ(rootEvents.texts(), expectedRoot);

    // Clearing and deletion; detached containers refuse further records.
    EXPECT_EQ(
        daemon->report(
            {record(Type::childrenRemoved, list, 13), record(Type::containerAbandoned, list, 14),
             record(Type::childrenRemoved, dict, 8), record(Type::containerDeleted, dict, 9)}),
        0);
    EXPECT_EQ(text(*array) + text(*dictionary), "@14@9");
    EXPECT_FALSE(array->onServer() || dictionary->onServer());
    EXPECT_EQ(dictEvents.texts().back(), "didDelete");
    EXPECT_EQ(arrayEvents.texts().back(), "didDelete");
    EXPECT_EQ(arrayEvents.texts().rbegin()[1], "didRemoveAll");
    EXPECT_EQ(rootEvents.events.size(), expectedRoot.size() + 4);
    auto late = record(Type::updateRevision, dict, 10);
    EXPECT_EQ(errorOf([&] { Access::handleChangeFromServer(*dictionary, *late, ""); }),
              VKError::connectionLost);
}

}  // namespace
}  // namespace velkor::test
