#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"
#include "support/LogCapture.h"

namespace velkor::test {
namespace {

using ::testing::ElementsAre;
using Type = ChangeType;

std::vector<std::uint8_t> blob(const DaemonBlobWriter& writer) {
    return writer.encoded();
}

// One file: a root dictionary holding an array under "list" and a dictionary under "dict". The
// daemon reports a series of changes; each container applies them in order and its observers,
// and the root's, hear of them on the connection's scheduler.
TEST(ServerChanges, ArraysAndDictionariesApplyEveryRecordType) {
    DaemonConnection daemon;
    const UUID root = UUID::random(), list = UUID::random(), dict = UUID::random(),
               added = UUID::random(), proxied = UUID::random();
    DaemonBlobWriter tree;
    tree.dictionary(root, root, 1, 2).key("list").array(list, root, 5, 3);
    tree.string("a").string("b").string("c").key("dict").dictionary(dict, root, 3, 2);
    tree.key("k").string("v").key("p").proxy(proxied);
    auto top = daemon.decode<VKDictionary>(tree);
    auto array = std::dynamic_pointer_cast<VKArray>(top->items().at("list"));
    auto dictionary = std::dynamic_pointer_cast<VKDictionary>(top->items().at("dict"));
    ASSERT_TRUE(array && dictionary);
    EventLog rootEvents(*top), arrayEvents(*array), dictEvents(*dictionary);

    DaemonBlobWriter newArray;
    newArray.array(added, root, 1, 1).number(42);
    std::vector<ChangeNotificationPtr> arrayChanges = {
        record(Type::childChanged, list, 6, 1, 1, {}, blob(DaemonBlobWriter().string("B"))),
        record(Type::childInserted, list, 7, 0, 0, {}, blob(DaemonBlobWriter().number(0))),
        record(Type::childAppended, list, 8, 4, 4, {}, blob(newArray)),
        record(Type::childRemoved, list, 9, 0, 0),
        record(Type::childMoved, list, 10, 3, 0),
        record(Type::updateRevision, list, 11),
        record(Type::childRemoved, list, 12, 9, 9),              // no such index: refused
        record(Type::childChanged, list, 12, 0, 0, {}, {1, 2}),  // not a blob: refused
    };
    std::vector<ChangeNotificationPtr> dictChanges = {
        record(Type::childInserted, dict, 4, 0, 0, "n", blob(DaemonBlobWriter().string("new"))),
        record(Type::childChanged, dict, 2, 0, 0, "k", blob(DaemonBlobWriter().number(1))),
        record(Type::childChanged, dict, 3, 0, 0, "p", blob(DaemonBlobWriter().number(2))),
        record(Type::childRemoved, dict, 5, 0, 0, "n"),
        record(Type::childRemoved, dict, 6, 0, 0, "missing"),
        record(Type::childAppended, dict, 7, 0, 0, {}, blob(DaemonBlobWriter().number(3))),
        record(Type::descendantChanged, dict, 7),
        record(Type::childInserted, root, 2, 0, 0, "x", blob(DaemonBlobWriter().number(7))),
    };
    LogCapture log;
    daemon.daemon->pushNoteChanges(arrayChanges, {"list", "list", "list", "list", "list", "list"});
    daemon.daemon->pushNoteChanges(dictChanges, {"dict", "dict", "dict", "dict", "dict"});
    daemon.settle();

    ASSERT_EQ(array->count(), 4u);
    EXPECT_EQ(array->items()[0]->description(), "arr(id=" + added.description() + ", count=1)");
    EXPECT_EQ(array->get(1)->description(), "a");
    EXPECT_EQ(array->get(2)->description(), "B");
    EXPECT_EQ(array->revision(), 11);
    auto newChild = std::dynamic_pointer_cast<VKArray>(array->items()[0]);
    EXPECT_TRUE(newChild->onServer());
    EXPECT_EQ(newChild->getAllParents().at(list), array);
    EXPECT_THAT(arrayEvents.texts(),
                ElementsAre("didArrayChildReplace(index=1)", "didArrayChildAdd(index=0)",
                            "didArrayChildAdd(index=4)", "didArrayChildRemove(index=0)",
                            "didArrayChildRemove(index=3)", "didArrayChildAdd(index=0)"));
    EXPECT_EQ(arrayEvents.events()[0]
                  .get<VKContainerChange::DidArrayChildReplace>()
                  ->oldChild->description(),
              "b");

    EXPECT_EQ(dictionary->count(), 2u);
    EXPECT_EQ(dictionary->get("k")->description(), "1");
    EXPECT_EQ(dictionary->revision(), 6);  // a late record never moves the revision back
    // A replaced proxy reaches the observers as it stood, without a request to the daemon.
    EXPECT_THAT(dictEvents.texts(),
                ElementsAre("didDictionaryChildAdd(key=n)", "didDictionaryChildReplace(key=k)",
                            "didDictionaryChildReplace(key=p)", "didDictionaryChildRemove(key=n)"));
    EXPECT_EQ(dictEvents.events()[2]
                  .get<VKContainerChange::DidDictionaryChildReplace>()
                  ->oldChild->kind(),
              VKObjectBase::Kind::containerProxy);
    for (const auto& r : daemon.daemon->requests()) {
        EXPECT_EQ(r.payload.get<ClientRequest::ResolveSettings>(), nullptr);
    }
    EXPECT_EQ(top->get("x")->description(), "7");

    std::vector<std::string> expectedRoot(6, "didDescendantChange(path=list)");
    expectedRoot.insert(expectedRoot.end(), 5, "didDescendantChange(path=dict)");
    expectedRoot.push_back("didDictionaryChildAdd(key=x)");
    EXPECT_EQ(rootEvents.texts(), expectedRoot);
    EXPECT_EQ(log->count(LogLevel::error, "Can't handle change from server ("), 3u);
    EXPECT_EQ(log->count(LogLevel::error, "Can't decode object."), 1u);

    // Clearing and deletion.
    daemon.daemon->pushNoteChanges(
        {record(Type::childrenRemoved, list, 13), record(Type::containerAbandoned, list, 14),
         record(Type::childrenRemoved, dict, 8), record(Type::containerDeleted, dict, 9)},
        {});
    daemon.settle();
    EXPECT_EQ(array->count(), 0u);
    EXPECT_EQ(dictionary->count(), 0u);
    EXPECT_FALSE(array->onServer());
    EXPECT_FALSE(dictionary->onServer());
    EXPECT_EQ(dictionary->revision(), 9);
    EXPECT_EQ(dictEvents.texts().back(), "didDelete");
    const auto arrayTexts = arrayEvents.texts();
    EXPECT_THAT(std::vector(arrayTexts.end() - 2, arrayTexts.end()),
                ElementsAre("didRemoveAll", "didDelete"));
    EXPECT_EQ(rootEvents.texts().size(), expectedRoot.size() + 4);
    // Detached containers refuse further records.
    EXPECT_EQ(errorOf([&] {
                  Access::handleChangeFromServer(*dictionary,
                                                 *record(Type::updateRevision, dict, 1), "");
              }),
              VKError::connectionLost);
}

}  // namespace
}  // namespace velkor::test
