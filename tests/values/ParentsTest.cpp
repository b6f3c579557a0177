#include <atomic>
#include <random>

#include "ValuesTesting.h"
#include "support/OnThreads.h"
#include "values/ContainerProxyBase.h"

namespace velkor::test {
namespace {

// The parents of a resolved proxy are ancestors of its real container, until it goes: placing one
// of them under the real container is refused as a cycle. (Placements straight into a container's
// own ancestors are refused all the time in the concurrent graph scenario below.)
TEST(Parents, CyclesAreRefusedThroughAResolvedProxy) {
    auto b = VKDictionary::make();
    auto real = VKArray::make(), top = VKArray::make({b});
    // A proxy as a daemon blob makes it, on a connection of its own.
    auto proxy =
        FakeConnection::make()->decode<ContainerProxyBase>(DaemonBlobWriter().proxy(real->id()));
    b->set("p", proxy);
    proxy->setRealContainer(real);
    EXPECT_THAT(real->getAllParents(), ElementsAre(Pair(b->id(), b)));
    for (const auto& ancestor : std::vector<VKObjectPtr>{b, top})
        EXPECT_EQ(errorOf([&] { real->append(ancestor); }), VKError::circularReferences);
    EXPECT_EQ(real->count(), 0u);  // a refused placement leaves nothing behind
    b->set("p", real);             // the real container takes the proxy's place as no change
    EXPECT_EQ(b->get("p"), real);
    EXPECT_EQ(entryCount(*proxy), 0u);
    b->remove("p");
    proxy.reset();
    real->append(top);
}

// Many threads place and remove the containers of one graph at once, with fresh containers
// joining the tree, parents being listed and observers coming and going. Afterwards emptying
// everything leaves no parent entry behind.
TEST(Parents, ConcurrentAttachAndDetachKeepsTheGraphSound) {
    const UUID root = UUID::random();
    std::vector<std::shared_ptr<VKDictionary>> dictionaries;
    std::vector<std::shared_ptr<VKArray>> arrays;
    std::vector<std::shared_ptr<VKContainer>> all;
    for (int i = 0; i < 26; ++i) {
        if (i < 20)
            all.push_back(dictionaries.emplace_back(VKDictionary::make()));
        else
            all.push_back(arrays.emplace_back(VKArray::make({num(0), num(1), num(2)})));
        Access::setRootId(*all.back(), root);
    }
    std::atomic<int> refused{0}, unexpected{0};
    onThreads(8, [&](int t) {
        std::mt19937 random(1234u + t);
        auto pick = [&](auto& from) { return from[random() % from.size()]; };
        auto key = [&] { return std::string(1, static_cast<char>('a' + random() % 4)); };
        for (int i = 0; i < 2500; ++i) {
            auto dict = pick(dictionaries);
            try {
                switch (random() % 8) {
                    case 0:
                    case 1:
                        dict->set(key(), pick(all));
                        break;
                    case 2:
                        pick(arrays)->set(random() % 3, random() % 2 ? pick(all) : num(i));
                        break;
                    case 3:
                        random() % 8 ? dict->remove(key()) : dict->removeAll();
                        break;
                    case 4: {  // a new container joins the tree and takes its root
                        auto fresh = VKDictionary::make();
                        fresh->set("x", pick(all));
                        dict->set(key(), fresh);
                        break;
                    }
                    case 5:
                        for (const auto& [id, parent] : pick(all)->getAllParents())
                            unexpected += parent->id() != id;
                        unexpected += pick(all)->rootId() != root;
                        break;
                    case 6:
                        pick(all)->asObservable().subscribe()->dispose();
                        break;
                    default:
                        dict->set(key(), str("s"));
                }
            } catch (const VKError& e) {
                ++(e.code() == VKError::circularReferences ? refused : unexpected);
            }
        }
    });
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(refused, 0);

    for (const auto& d : dictionaries)
        d->removeAll();
    for (const auto& a : arrays)
        a->removeAll();
    for (const auto& c : all)
        EXPECT_EQ(entryCount(*c), 0u);
}

}  // namespace
}  // namespace velkor::test
