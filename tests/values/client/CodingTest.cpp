#include <atomic>
#include <thread>

#include "../ValuesTesting.h"
#include "basalt/ArchiveWriter.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"
#include "values/client/ContainerProxy.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

struct Coding : ::testing::Test {
    std::shared_ptr<FakeConnection> connection = FakeConnection::make();
    RegistryOfContainers& registry = connection->registry;
    UUID root = UUID::random();
};

TEST_F(Coding, DecodingBuildsAndSharesContainersAndEncodingWritesLocalOnesInFull) {
    const UUID top = UUID::random(), list = UUID::random(), unknown = UUID::random();
    auto registered = VKDictionary::make();
    registry.registerContainer(registered);
    DaemonBlobWriter blob;
    blob.dictionary(top, root, 7, 4).key("n").number(-3).key("k").proxy(registered->id());
    blob.key("list").array(list, root, -2, 3).string("s").data(std::vector<std::uint8_t>{1, 2});
    blob.proxy(unknown).key("n").string("later");  // a repeated key keeps the later value
    auto value = connection->decode<VKDictionary>(blob);
    ASSERT_TRUE(value);
    EXPECT_EQ(text(*value), "k=C,list=C,n=later@7");
    EXPECT_EQ(value->id(), top);
    EXPECT_EQ(value->rootId(), root);
    EXPECT_EQ(Access::innerConnection(*value), connection);
    EXPECT_EQ(value->items().at("k"), registered);
    auto array = std::dynamic_pointer_cast<VKArray>(value->items().at("list"));
    ASSERT_TRUE(array);
    EXPECT_EQ(text(*array), "s,2 bytes,C@-2");
    EXPECT_EQ(registry.tryFind(list), array);
    EXPECT_EQ(array->getAllParents().at(top), value);
    auto proxy = std::dynamic_pointer_cast<ContainerProxy>(array->items()[2]);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(registry.tryFind(unknown), proxy);
    EXPECT_EQ(proxy->rootId(), root) << "detached with its file when that is deleted";
    EXPECT_TRUE(proxy->isContainer() && asContainer(proxy));  // but neither array nor dictionary
    EXPECT_FALSE(proxy->isArray() || asArray(proxy) || asDictionary(proxy));
    // The same reference again gives the same proxy; once resolved, the real container.
    EXPECT_EQ(connection->decode(DaemonBlobWriter().proxy(unknown)), proxy);
    auto real = VKArray::make();
    proxy->setRealContainer(real);
    EXPECT_EQ(connection->decode(DaemonBlobWriter().proxy(unknown)), real);

    // Encoding writes local containers in full, and attached ones and proxies as references.
    SerializerOnClient encoder;
    auto shared = VKDictionary::make();
    shared->set("a", str("s"));
    EventLog observed(*shared);  // an observer sets the subscription flag
    auto local = VKArray::make({shared, shared, value, proxy});
    basalt::ArchiveWriter expected;
    expected.encodeInteger(3).encodeBytes(local->id().bytes()).encodeInteger(0).encodeInteger(0);
    expected.encodeInteger(4).encodeInteger(4).encodeBytes(shared->id().bytes());
    expected.encodeInteger(0).encodeInteger(1).encodeInteger(1).encodeText("a");
    expected.encodeInteger(1).encodeText("s");
    for (const auto& reference : {shared->id(), value->id(), proxy->id()})
        expected.encodeInteger(5).encodeBytes(reference.bytes());
    serialize(*local, encoder);
    EXPECT_EQ(encoder.takeArchiverData(), expected.archiverData());

    // Registration gives the written containers the root id and the connection, and leaves the
    // attached one as it was.
    encoder.registerContainers(local->id(), *connection);
    for (const auto& c : std::vector<std::shared_ptr<VKContainer>>{local, shared}) {
        EXPECT_EQ(c->rootId(), local->id());
        EXPECT_EQ(Access::innerConnection(*c), connection);
        EXPECT_EQ(registry.tryFind(c->id()), c);
    }
    EXPECT_NE(value->rootId(), local->id());
}

// One id stands for one object: a fetch that meets a live container hands it out again, and an
// older blob leaves it as it is. (A newer one brings it up to date with events: see the change
// exchange's fetches of a live copy.)
TEST_F(Coding, ALiveIdGivesTheLiveObjectAndAnOlderBlobLeavesIt) {
    const UUID top = UUID::random();
    auto blob = [&](std::int64_t revision, std::int64_t k, const char* other) {
        DaemonBlobWriter writer;
        writer.dictionary(top, root, revision, 2).key("k").number(k).key(other).number(0);
        return writer;
    };
    auto first = connection->decode<VKDictionary>(blob(2, 2, "new"));
    ASSERT_TRUE(first);
    EXPECT_EQ(connection->decode(blob(1, 7, "old")), first);
    EXPECT_EQ(text(*first), "k=2,new=0@2");
    EXPECT_EQ(registry.tryFind(top), first);

    // A copy that dies while a fetch decodes its id again leaves the new one registered and
    // attached, and no container dies inside the registry's lock while deletions of another
    // file walk it.
    first.reset();
    std::atomic<bool> done{false};
    std::thread walker([&] {
        while (!done)
            registry.unregisterHavingRootId(UUID::random());
    });
    for (int i = 0; i < 300; ++i) {
        auto old = connection->decode<VKDictionary>(blob(3, 1, "x"));
        std::shared_ptr<VKDictionary> fresh;
        std::thread fetch([&] { fresh = connection->decode<VKDictionary>(blob(3, 1, "x")); });
        old.reset();
        fetch.join();
        ASSERT_TRUE(fresh);
        ASSERT_EQ(registry.tryFind(top), fresh);
        ASSERT_TRUE(fresh->onServer());
    }
    done = true;
    walker.join();

    // Two decoders meeting a new id at once (a report and a fetch) agree on one object, whether
    // both decode it in full or both as a reference.
    for (int i = 0; i < 400; ++i) {
        const UUID id = UUID::random();
        const auto writer =
            i % 2 ? DaemonBlobWriter().array(id, root, 1, 0) : DaemonBlobWriter().proxy(id);
        VKObjectPtr decoded[2];
        std::atomic<int> ready{0};
        onThreads(2, [&](int t) {
            for (++ready; ready < 2;) {
            }
            decoded[t] = connection->decode(writer);
        });
        ASSERT_TRUE(decoded[0] && decoded[0] == decoded[1]) << i;
        ASSERT_EQ(registry.tryFind(id), decoded[0]);
    }
}

// Blobs that would place a container inside itself or a descendant (in the blob or already
// live) are refused, and so is anything that breaks the layout; a failed blob leaves nothing
// behind that a read could resolve into a loop.
TEST_F(Coding, HostileBlobsGiveNothing) {
    const UUID id = UUID::random(), b = UUID::random(), parent = UUID::random();
    auto live =
        connection->decode(DaemonBlobWriter().dictionary(parent, root, 1, 1).key("p").proxy(b));
    ASSERT_TRUE(live);
    auto nested = [&](int depth) {
        DaemonBlobWriter blob;
        for (int i = 0; i < depth; ++i)
            blob.array(UUID::random(), root, 0, i + 1 == depth ? 0 : 1);
        return blob;
    };
    EXPECT_TRUE(connection->decode(nested(DeserializerOnClient::kMaximumNesting)));
    // A container in full twice; a failure deep down; a container inside its own child.
    DaemonBlobWriter twice, deep, cycle;
    twice.dictionary(id, root, 0, 2).key("a").array(UUID(), root, 0, 0).key("b");
    twice.array(UUID(), root, 0, 0);
    deep.dictionary(id, root, 0, 1).key("a").array(UUID::random(), root, 0, 2);
    deep.array(UUID::random(), root, 0, 0).integer(9);
    cycle.dictionary(id, root, 1, 1).key("b").dictionary(b, root, 1, 1).key("up").proxy(id);
    const std::vector<std::uint8_t> shortId(15), longId(17);
    const DaemonBlobWriter cases[] = {
        DaemonBlobWriter().dictionary(id, root, 1, 1).key("self").proxy(id), cycle,
        DaemonBlobWriter().dictionary(b, root, 1, 1).key("up").proxy(parent),
        nested(DeserializerOnClient::kMaximumNesting + 1), DaemonBlobWriter().integer(6),
        DaemonBlobWriter().integer(-1), DaemonBlobWriter().text("3"),
        DaemonBlobWriter().integer(3).uuid(id).uuid(root).integer(0).integer(-1),
        DaemonBlobWriter().integer(4).uuid(id).text("root").integer(0).integer(0),
        DaemonBlobWriter().array(id, root, 0, 3).number(1).string("b").integer(1),
        DaemonBlobWriter().dictionary(id, root, 0, 1).integer(1).number(1),
        DaemonBlobWriter().dictionary(id, root, 0, 1).key("k").integer(0).text("x"),
        DaemonBlobWriter().integer(5).bytes(shortId), DaemonBlobWriter().integer(5).bytes(longId),
        twice, deep,
        // A count larger than the blob could hold must not be reserved.
        DaemonBlobWriter().array(id, root, 0, std::int64_t{1} << 60).number(1)};
    for (const auto& blob : cases) {
        LogCapture log;
        EXPECT_EQ(connection->decode(blob), nullptr);
        EXPECT_GE(log->count(LogLevel::error, ""), 1u);  // decoders log instead of throwing
    }
    EXPECT_EQ(registry.tryFind(id), nullptr);
    EXPECT_EQ(registry.tryFind(b)->kind(), VKObjectBase::Kind::containerProxy);
    EXPECT_FALSE(DeserializerOnClient::make(Blob(std::vector<std::uint8_t>{1, 2, 3}), connection));
}

}  // namespace
}  // namespace velkor::test
