#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"
#include "registry/RegistryOfContainers.h"
#include "support/FakeInnerConnection.h"
#include "support/LogCapture.h"
#include "values/client/ContainerProxy.h"

namespace velkor::test {
namespace {

using Request = FakeInnerConnection::ResolveRequest;
using ::testing::ElementsAre;

/// A connection whose daemon holds a few containers: resolving one decodes its blob.
struct Proxies : ::testing::Test {
    Proxies() {
        connection->resolveProxiesWith(
            [this](const UUID& id, bool) -> std::shared_ptr<VKContainer> {
                auto found = blobs.find(id);
                if (found == blobs.end())
                    throw VKError(VKError::containerNotFound);
                return decodeOn<VKContainer>(connection, found->second.blob());
            });
    }
    std::shared_ptr<FakeInnerConnection> connection =
        FakeInnerConnection::make(std::make_shared<rx::VirtualTimeScheduler>());
    UUID root = UUID::random();
    std::map<UUID, DaemonBlobWriter> blobs;
};

TEST_F(Proxies, ReadsResolveOnceAndPutTheRealContainerInPlace) {
    const UUID a = UUID::random(), b = UUID::random();
    blobs[a].array(a, root, 3, 1).number(5);
    blobs[b].dictionary(b, root, 1, 0);
    auto dict = decodeOn<VKDictionary>(
        connection, DaemonBlobWriter().dictionary(root, root, 1, 1).key("a").proxy(a).blob());
    auto array = decodeOn<VKArray>(
        connection, DaemonBlobWriter().array(UUID::random(), root, 1, 2).proxy(b).proxy(a).blob());
    auto proxyA = dict->items().at("a");

    auto realA = std::dynamic_pointer_cast<VKArray>(dict->get("a"));
    ASSERT_TRUE(realA);
    EXPECT_EQ(realA->count(), 1u);
    EXPECT_EQ(dict->get("a"), realA);
    EXPECT_EQ(dict->items().at("a"), realA);
    // The proxy shared by both parents gives the same real container without a second request.
    EXPECT_EQ(array->get(1), realA);
    EXPECT_EQ(array->get(0)->kind(), VKObjectBase::Kind::dictionary);
    EXPECT_THAT(connection->resolveRequests(), ElementsAre(Request{a, false}, Request{b, false}));
    // The parent links moved from the proxy to the real container.
    EXPECT_EQ(realA->getAllParents().size(), 2u);
    EXPECT_EQ(std::static_pointer_cast<VKContainer>(proxyA)->getAllParents().size(), 0u);

    // A released proxy leaves the registry only while the entry is still its own.
    auto& registry = connection->registryOfContainers();
    EXPECT_EQ(registry.tryFind(a), realA);
    proxyA.reset();
    EXPECT_EQ(registry.tryFind(a), realA);
    EXPECT_TRUE(realA->onServer());
    auto lone = decodeOn<VKContainer>(connection, DaemonBlobWriter().proxy(UUID::random()).blob());
    const UUID loneId = lone->id();
    std::weak_ptr<const VKContainerBase> weakLone = lone;
    lone.reset();
    EXPECT_FALSE(registry.unregisterIfSame(loneId, weakLone));  // its entry went with it

    // A container that came in full after its proxy was made is the proxy's real container.
    const UUID later = UUID::random();
    auto holder = decodeOn<VKArray>(
        connection, DaemonBlobWriter().array(UUID::random(), root, 1, 1).proxy(later).blob());
    auto full =
        decodeOn<VKDictionary>(connection, DaemonBlobWriter().dictionary(later, root, 4, 0).blob());
    EXPECT_EQ(holder->get(0), full);
    EXPECT_EQ(connection->resolveRequests().size(), 2u);
}

TEST_F(Proxies, RecursivePrefetchEntersASharedContainerOnce) {
    const UUID shared = UUID::random(), inner = UUID::random(), leaf = UUID::random();
    blobs[inner].dictionary(inner, root, 1, 1).key("leaf").proxy(leaf);
    blobs[leaf].array(leaf, root, 1, 0);
    DaemonBlobWriter blob;
    blob.dictionary(root, root, 1, 3)
        .key("x")
        .dictionary(shared, root, 1, 1)
        .key("in")
        .proxy(inner);
    blob.key("y").proxy(shared).key("z").number(1);
    auto top = decodeOn<VKDictionary>(connection, blob.blob());
    auto sharedDict = std::dynamic_pointer_cast<VKDictionary>(top->items().at("x"));
    ASSERT_EQ(top->items().at("y"), sharedDict);

    top->prefetchContent(false);  // nothing to resolve at the first level
    EXPECT_TRUE(connection->resolveRequests().empty());
    top->prefetchContent(true);
    EXPECT_THAT(connection->resolveRequests(), ElementsAre(Request{inner, true}));
    auto innerDict = std::dynamic_pointer_cast<VKDictionary>(sharedDict->items().at("in"));
    ASSERT_TRUE(innerDict);
    // The next walk goes through the container resolved before, into its own proxies.
    top->prefetchContent(true);
    EXPECT_THAT(connection->resolveRequests(),
                ElementsAre(Request{inner, true}, Request{leaf, true}));
    EXPECT_EQ(innerDict->items().at("leaf")->kind(), VKObjectBase::Kind::array);
    top->prefetchContent(true);
    EXPECT_EQ(connection->resolveRequests().size(), 2u);
}

TEST_F(Proxies, FailuresLeaveTheProxyInPlace) {
    const UUID missing = UUID::random();
    auto dict = decodeOn<VKDictionary>(
        connection, DaemonBlobWriter().dictionary(root, root, 1, 1).key("m").proxy(missing).blob());
    auto proxy = std::dynamic_pointer_cast<ContainerProxy>(dict->items().at("m"));
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::containerNotFound);
    EXPECT_EQ(dict->items().at("m"), proxy);
    // An answer that is not the container asked for (another id, a proxy, the proxy itself)
    // never takes its place.
    const UUID other = UUID::random();
    blobs[missing] = DaemonBlobWriter().dictionary(other, root, 1, 0);
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::serverError);
    blobs[missing] = DaemonBlobWriter().proxy(missing);
    EXPECT_EQ(errorOf([&] { dict->get("m"); }), VKError::serverError);
    EXPECT_EQ(dict->items().at("m"), proxy);

    LogCapture log;
    connection->registryOfContainers().unregister(missing);
    EXPECT_EQ(errorOf([&] { proxy->obtainRealContainer(nullptr); }), VKError::connectionLost);
    EXPECT_EQ(log->count(LogLevel::error, "Can't obtainer real container (id=" +
                                              missing.description() + ") - connection lost."),
              1u);
    EXPECT_EQ(connection->resolveRequests().size(), 3u);
}

}  // namespace
}  // namespace velkor::test
