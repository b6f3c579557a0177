#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"
#include "registry/RegistryOfContainers.h"
#include "support/FakeInnerConnection.h"
#include "support/LogCapture.h"
#include "values/client/ContainerProxy.h"

namespace velkor::test {
namespace {

struct Decoding : ::testing::Test {
    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    std::shared_ptr<FakeInnerConnection> connection = FakeInnerConnection::make(scheduler);
    RegistryOfContainers& registry = connection->registryOfContainers();
    UUID root = UUID::random();
};

TEST_F(Decoding, BuildsRegistersAndSharesContainers) {
    const UUID top = UUID::random(), list = UUID::random(), known = UUID::random(),
               unknown = UUID::random();
    auto registered = VKDictionary::make();
    Access::setId(*registered, known);
    registry.registerContainer(registered);

    DaemonBlobWriter blob;
    blob.dictionary(top, root, 7, 4).key("n").number(-3).key("k").proxy(known);
    blob.key("list").array(list, root, -2, 3).string("s").data(std::vector<std::uint8_t>{1, 2});
    blob.proxy(unknown).key("n").string("later");
    auto value = decodeOn<VKDictionary>(connection, blob.blob());
    ASSERT_TRUE(value);

    EXPECT_EQ(value->id(), top);
    EXPECT_EQ(value->rootId(), root);
    EXPECT_EQ(value->revision(), 7);
    EXPECT_EQ(Access::innerConnection(*value), connection);
    EXPECT_EQ(value->count(), 3u);  // the repeated key keeps the later value
    EXPECT_EQ(value->items().at("n")->description(), "later");
    EXPECT_EQ(value->items().at("k"), registered);  // a reference to a registered container

    auto array = std::dynamic_pointer_cast<VKArray>(value->items().at("list"));
    ASSERT_TRUE(array);
    EXPECT_EQ(array->revision(), -2);
    EXPECT_EQ(array->count(), 3u);
    EXPECT_EQ(registry.tryFind(list), array);
    EXPECT_EQ(array->getAllParents().at(top), value);
    auto proxy = std::dynamic_pointer_cast<ContainerProxy>(array->items()[2]);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->id(), unknown);
    EXPECT_EQ(registry.tryFind(unknown), proxy);

    // Decoding the same reference again gives the same proxy; once resolved, the real one.
    EXPECT_EQ(decodeOn(connection, DaemonBlobWriter().proxy(unknown).blob()), proxy);
    auto real = VKArray::make();
    proxy->setRealContainer(real);
    EXPECT_EQ(decodeOn(connection, DaemonBlobWriter().proxy(unknown).blob()), real);
}

// One id stands for one object: a fetch that meets a live container hands it out again, brought
// up to date with the events a report would post, unless the blob is older.
TEST_F(Decoding, ALiveIdGivesTheLiveObjectUpToDate) {
    const UUID top = UUID::random();
    auto blob = [&](std::int64_t revision, std::int64_t k, const char* other) {
        return DaemonBlobWriter()
            .dictionary(top, root, revision, 2)
            .key("k")
            .number(k)
            .key(other)
            .number(0)
            .blob();
    };
    auto first = decodeOn<VKDictionary>(connection, blob(1, 1, "gone"));
    ASSERT_TRUE(first);
    EventLog events(*first);
    EXPECT_EQ(decodeOn(connection, blob(2, 2, "new")), first);
    EXPECT_EQ(first->get("k", -1), 2);
    EXPECT_TRUE(first->hasKey("new") && !first->hasKey("gone"));
    EXPECT_EQ(first->revision(), 2);
    EXPECT_EQ(decodeOn(connection, blob(1, 7, "old")), first);
    EXPECT_EQ(first->get("k", -1), 2);
    scheduler->runAll();
    EXPECT_THAT(events.texts(),
                ::testing::UnorderedElementsAre("didDictionaryChildReplace(key=k)",
                                                "didDictionaryChildRemove(key=gone)",
                                                "didDictionaryChildAdd(key=new)"));
    EXPECT_EQ(registry.tryFind(top), first);
    EXPECT_EQ(Access::innerConnection(*first), connection);
}

// A blob may not place a container inside itself or inside one of its descendants, whether the
// descendant is in the blob or already live: such a loop would never be freed.
TEST_F(Decoding, RefusesToCloseACycle) {
    const UUID a = UUID::random(), b = UUID::random(), parent = UUID::random();
    LogCapture log;
    EXPECT_EQ(decodeOn(connection,
                       DaemonBlobWriter().dictionary(a, root, 1, 1).key("self").proxy(a).blob()),
              nullptr);
    EXPECT_EQ(decodeOn(connection, DaemonBlobWriter()
                                       .dictionary(a, root, 1, 1)
                                       .key("b")
                                       .dictionary(b, root, 1, 1)
                                       .key("up")
                                       .proxy(a)
                                       .blob()),
              nullptr);
    auto live = decodeOn<VKDictionary>(
        connection, DaemonBlobWriter().dictionary(parent, root, 1, 1).key("p").proxy(b).blob());
    ASSERT_TRUE(live);
    EXPECT_EQ(decodeOn(connection,
                       DaemonBlobWriter().dictionary(b, root, 1, 1).key("up").proxy(parent).blob()),
              nullptr);
    EXPECT_EQ(log->count(LogLevel::error, "Can't place container"), 3u);
    // The refused blobs left nothing behind that a read could resolve into a loop.
    EXPECT_EQ(registry.tryFind(a), nullptr);
    EXPECT_EQ(registry.tryFind(b)->kind(), VKObjectBase::Kind::containerProxy);
}

TEST_F(Decoding, EveryFailureGivesNothingAndNamesItsStep) {
    const UUID id = UUID::random();
    struct Case {
        DaemonBlobWriter blob;
        std::vector<std::string> lines;
    };
    std::vector<Case> cases;
    cases.push_back({DaemonBlobWriter().integer(6), {"Can't get 'kind' of VKObject."}});
    cases.push_back({DaemonBlobWriter().integer(-1), {"Can't get 'kind' of VKObject."}});
    cases.push_back({DaemonBlobWriter().text("3"), {"Can't get 'kind' of VKObject."}});
    cases.push_back({DaemonBlobWriter().integer(3).uuid(id).uuid(root).integer(0).integer(-1),
                     {"Can't decode base properties of an array."}});
    cases.push_back({DaemonBlobWriter().integer(4).uuid(id).text("root").integer(0).integer(0),
                     {"Can't decode base properties of a dictionary."}});
    cases.push_back({DaemonBlobWriter().array(id, root, 0, 3).number(1).string("b").integer(1),
                     {"Can't decode array item # 2."}});
    cases.push_back({DaemonBlobWriter().dictionary(id, root, 0, 1).integer(1).number(1),
                     {"Can't decode key of a dictionary item."}});
    cases.push_back({DaemonBlobWriter().dictionary(id, root, 0, 1).key("k").integer(0).text("x"),
                     {"Can't decode dictionary item with key='k'."}});
    cases.push_back({DaemonBlobWriter().integer(5).bytes(std::vector<std::uint8_t>(15)),
                     {"Can't decode id of a container proxy."}});
    cases.push_back({DaemonBlobWriter().integer(5).bytes(std::vector<std::uint8_t>(17)),
                     {"Can't decode id of a container proxy."}});
    // A container written in full twice: the second has no valid base properties.
    DaemonBlobWriter twice;
    twice.dictionary(id, root, 0, 2).key("a").array(UUID(), root, 0, 0).key("b");
    twice.array(UUID(), root, 0, 0);
    cases.push_back({twice,
                     {"Can't decode base properties of an array.",
                      "Can't decode dictionary item with key='b'."}});
    // A failure deep down fails every level above it.
    DaemonBlobWriter nested;
    nested.dictionary(id, root, 0, 1).key("a").array(UUID::random(), root, 0, 2);
    nested.array(UUID::random(), root, 0, 0).integer(9);
    cases.push_back({nested,
                     {"Can't get 'kind' of VKObject.", "Can't decode array item # 1.",
                      "Can't decode dictionary item with key='a'."}});
    // A count larger than the blob could hold reserves no more than it could hold.
    cases.push_back({DaemonBlobWriter().array(id, root, 0, std::int64_t{1} << 40).number(1),
                     {"Created new array (capacity=1, id=", "Can't decode array item # 1."}});

    for (auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(decodeOn(connection, c.blob.blob()), nullptr);
        for (const auto& line : c.lines) {
            EXPECT_EQ(log->count(line), 1u) << line;
        }
    }
    // Containers of a failed blob, completed ones included, are gone once nothing holds them.
    EXPECT_EQ(registry.tryFind(id), nullptr);
    EXPECT_FALSE(DeserializerOnClient::make(Blob(std::vector<std::uint8_t>{1, 2, 3}), connection));
}

TEST_F(Decoding, RefusesNestingBeyondTheLimit) {
    auto nestedArrays = [&](int depth) {
        DaemonBlobWriter blob;
        for (int i = 0; i < depth; ++i) {
            blob.array(UUID::random(), root, 0, i + 1 == depth ? 0 : 1);
        }
        return blob.blob();
    };
    EXPECT_TRUE(decodeOn(connection, nestedArrays(DeserializerOnClient::kMaximumNesting)));
    LogCapture log;
    EXPECT_FALSE(decodeOn(connection, nestedArrays(DeserializerOnClient::kMaximumNesting + 1)));
    EXPECT_EQ(log->count(LogLevel::error, "Can't decode containers nested deeper than 512 levels."),
              1u);
}

}  // namespace
}  // namespace velkor::test
