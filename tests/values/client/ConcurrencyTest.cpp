#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ContainerTesting.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

// Readers keep reading a parent and its child while a writer changes both (holding each write
// lock across its request to the daemon), the daemon's notifications change the child, and
// prefetching and encoding walk from the parent into the child. Under ThreadSanitizer this also
// shows that parent and child items locks are always taken in the same order.
TEST(ContainerConcurrency, ReadersWritersNotificationsAndWalksInterleave) {
    DaemonConnection daemon;
    const UUID root = UUID::random(), childId = UUID::random();
    auto parent = daemon.decode<VKDictionary>(DaemonBlobWriter()
                                                  .dictionary(root, root, 1, 1)
                                                  .key("child")
                                                  .dictionary(childId, root, 1, 0));
    auto child = std::dynamic_pointer_cast<VKDictionary>(parent->get("child"));
    ASSERT_TRUE(child);

    constexpr int kRounds = 60;
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    auto reader = [&] {
        while (!done.load()) {
            for (const auto& key : {"child", "a0", "a1"}) {
                if (auto value = parent->get(key)) {
                    reads += value->description().empty() ? 0 : 1;
                }
            }
            reads += static_cast<int>(child->items().size() + parent->count());
            SerializerOnClient encoder;
            serialize(*parent, encoder);
            child->hasKey("x");
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader)};
    std::thread walker([&] {
        while (!done.load()) {
            parent->prefetchContent(true);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        auto fresh = VKArray::make();
        fresh->append(num(i));
        parent->set("a" + std::to_string(i % 2), fresh);
        child->set("x", num(i));
        daemon.daemon->pushNoteChanges({record(ChangeType::childInserted, childId, 100 + i, 0, 0,
                                               "y", DaemonBlobWriter().number(i).encoded())},
                                       {"child"});
        if (i % 3 == 0) {
            parent->remove("a0");
        }
    }
    daemon.settle();
    done = true;
    for (auto& t : readers)
        t.join();
    walker.join();

    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(child->get("x")->description(), std::to_string(kRounds - 1));
    EXPECT_EQ(child->get("y")->description(), std::to_string(kRounds - 1));
    EXPECT_EQ(parent->count(), 3u);  // child, a0 (set again after the last removal), a1
    auto a1 = std::dynamic_pointer_cast<VKArray>(parent->get("a1"));
    ASSERT_TRUE(a1);
    EXPECT_TRUE(a1->onServer());
    EXPECT_EQ(a1->rootId(), root);
}

// One id, one object: a copy that dies while a fetch decodes the same container again leaves the
// new one registered and attached, and no container dies inside the registry's lock while
// deletions of another file walk it.
TEST(ContainerConcurrency, ACopyDyingWhileTheIdIsDecodedAgainKeepsTheRegistryRight) {
    DaemonConnection daemon;
    const UUID id = UUID::random(), root = UUID::random(), other = UUID::random();
    auto& registry = daemon.connection->registryOfContainers();
    std::atomic<bool> done{false};
    std::thread walker([&] {
        while (!done.load()) {
            registry.unregisterHavingRootId(other);
        }
    });
    for (int i = 0; i < 300; ++i) {
        auto old = daemon.decode<VKDictionary>(DaemonBlobWriter().dictionary(id, root, 1, 0));
        std::shared_ptr<VKDictionary> fresh;
        std::thread fetch([&] {
            fresh = daemon.decode<VKDictionary>(DaemonBlobWriter().dictionary(id, root, 1, 0));
        });
        old.reset();
        fetch.join();
        ASSERT_TRUE(fresh);
        ASSERT_EQ(registry.tryFind(id), fresh);
        ASSERT_TRUE(fresh->onServer());
    }
    done.store(true);
    walker.join();
}

}  // namespace
}  // namespace velkor::test
