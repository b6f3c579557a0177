#include "../ValuesTesting.h"
#include "values/client/ContainerProxy.h"

namespace velkor::test {
namespace {

using Request = std::pair<UUID, bool>;

/// A connection whose daemon holds a few containers: resolving one decodes its blob.
struct Proxies : ::testing::Test {
    Proxies() {
        connection->resolve = [this](const UUID& id) {
            auto found = blobs.find(id);
            if (found == blobs.end())
                throw VKError(VKError::containerNotFound);
            return connection->decode<VKContainer>(found->second);
        };
    }
    std::shared_ptr<FakeConnection> connection = FakeConnection::make();
    UUID root = UUID::random();
    std::map<UUID, DaemonBlobWriter> blobs;
};

TEST_F(Proxies, ReadsResolveOnceAndPutTheRealContainerInPlace) {
    const UUID a = UUID::random(), b = UUID::random();
    blobs[a].array(a, root, 3, 1).number(5);
    blobs[b].dictionary(b, root, 1, 0);
    auto dict = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(root, root, 1, 1).key("a").proxy(a));
    auto array = connection->decode<VKArray>(
        DaemonBlobWriter().array(UUID::random(), root, 1, 2).proxy(b).proxy(a));
    auto proxyA = std::static_pointer_cast<VKContainer>(dict->items().at("a"));

    auto realA = std::dynamic_pointer_cast<VKArray>(dict->get("a"));
    ASSERT_TRUE(realA);
    EXPECT_EQ(realA->count(), 1u);
    EXPECT_EQ(dict->items().at("a"), realA);
    // The proxy shared by both parents gives the same real container without a second request.
    EXPECT_EQ(array->get(1), realA);
    EXPECT_EQ(array->get(0)->kind(), VKObjectBase::Kind::dictionary);
    EXPECT_THAT(connection->resolves, ElementsAre(Request{a, false}, Request{b, false}));
    EXPECT_EQ(realA->getAllParents().size(), 2u);  // the parent links moved to it
    EXPECT_THAT(proxyA->getAllParents(), IsEmpty());

    // A released proxy leaves the registry only while the entry is still its own.
    proxyA.reset();
    EXPECT_EQ(connection->registry.tryFind(a), realA);
    EXPECT_TRUE(realA->onServer());

    // A container that came in full after its proxy was made is the proxy's real container.
    const UUID later = UUID::random();
    auto holder = connection->decode<VKArray>(
        DaemonBlobWriter().array(UUID::random(), root, 1, 1).proxy(later));
    auto full = connection->decode<VKDictionary>(DaemonBlobWriter().dictionary(later, root, 4, 0));
    EXPECT_EQ(holder->get(0), full);
    EXPECT_EQ(connection->resolves.size(), 2u);
}

// A recursive walk enters the shared container once and resolves the proxies it meets; the next
// walk goes on into the containers resolved before. A walk of the first level finds none here.
TEST_F(Proxies, RecursivePrefetchEntersEachContainerOnce) {
    const UUID shared = UUID::random(), inner = UUID::random(), leaf = UUID::random();
    blobs[inner].dictionary(inner, root, 1, 1).key("leaf").proxy(leaf);
    blobs[leaf].array(leaf, root, 1, 0);
    DaemonBlobWriter blob;
    blob.dictionary(root, root, 1, 3).key("x").dictionary(shared, root, 1, 1).key("in");
    blob.proxy(inner).key("y").proxy(shared).key("z").number(1);
    auto top = connection->decode<VKDictionary>(blob);
    top->prefetchContent(false);
    top->prefetchContent(true);  // the shared container once, so not yet into the resolved one
    EXPECT_THAT(connection->resolves, ElementsAre(Request{inner, true}));
    top->prefetchContent(true);
    top->prefetchContent(true);
    EXPECT_THAT(connection->resolves, ElementsAre(Request{inner, true}, Request{leaf, true}));
}

TEST_F(Proxies, FailuresLeaveTheProxyInPlace) {
    const UUID missing = UUID::random();
    auto dict = connection->decode<VKDictionary>(
        DaemonBlobWriter().dictionary(root, root, 1, 1).key("m").proxy(missing));
    auto proxy = std::dynamic_pointer_cast<ContainerProxy>(dict->items().at("m"));
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::containerNotFound);
    EXPECT_EQ(dict->get("m", 7), 7);  // a typed read fetches it as get does: a failure is logged
    // An answer that is not the container asked for (another id, a proxy) never takes its place.
    blobs[missing] = DaemonBlobWriter().dictionary(UUID::random(), root, 1, 0);
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::serverError);
    blobs[missing] = DaemonBlobWriter().proxy(missing);
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::serverError);
    EXPECT_EQ(dict->items().at("m"), proxy);

    connection->registry.unregister(missing);
    EXPECT_EQ(errorOf([&] { proxy->obtainRealContainer(nullptr); }), VKError::connectionLost);
    EXPECT_EQ(connection->resolves.size(), 4u);
}

}  // namespace
}  // namespace velkor::test
