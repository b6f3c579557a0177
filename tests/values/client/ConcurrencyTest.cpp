#include <atomic>
#include <thread>

#include "../ValuesTesting.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

// Readers keep reading a parent and its child while a writer changes both (holding each write
// lock across its exchange with the daemon), the daemon's reports change the child, and
// prefetching and encoding walk from the parent into the child. Under ThreadSanitizer this also
// shows that parent and child items locks are always taken in the same order.
TEST(ContainerConcurrency, ReadersWritersReportsAndWalksInterleave) {
    auto daemon = FakeConnection::make();
    daemon->publish = [](const VKChangeNotification& change) {
        return std::pair(ChangeResult::noRevisionIncrement, change.revision);
    };
    const UUID root = UUID::random(), childId = UUID::random();
    auto parent = daemon->decode<VKDictionary>(DaemonBlobWriter()
                                                   .dictionary(root, root, 1, 1)
                                                   .key("child")
                                                   .dictionary(childId, root, 1, 0));
    auto child = std::dynamic_pointer_cast<VKDictionary>(parent->get("child"));
    ASSERT_TRUE(child);

    constexpr int kRounds = 60;
    std::atomic<bool> done{false};
    auto reader = [&] {
        while (!done.load()) {
            for (const auto& key : {"child", "a0", "a1"}) {
                if (auto value = parent->get(key))
                    value->description();
            }
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
                *record(ChangeType::childInserted, childId, child->revision() + 1, 0, 0, "y",
                        DaemonBlobWriter().number(i).encoded()),
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
    daemon->scheduler->runAll();

    EXPECT_EQ(text(*child), "x=59,y=59@61");
    EXPECT_EQ(text(*parent), "a0=C,a1=C,child=C@1");  // a0 set again after the last removal
    auto a1 = std::dynamic_pointer_cast<VKContainer>(parent->get("a1"));
    EXPECT_TRUE(a1->onServer() && a1->rootId() == root);
}

}  // namespace
}  // namespace velkor::test
