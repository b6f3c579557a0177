#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "TestContainers.h"
#include "support/FakeInnerConnection.h"
#include "velkor/rx/ImmediateScheduler.h"

namespace velkor::test {
namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 2500;
constexpr int kDictionaries = 20;
constexpr int kArrays = 6;
constexpr int kArraySlots = 3;
const char* const kKeys[] = {"a", "b", "c", "d"};

// Many threads place and remove containers of one shared graph at once, through dictionaries
// and arrays, with fresh local containers joining the tree, parents being listed and observers
// coming and going. Afterwards the graph has no cycle, and every parent set names exactly the
// containers that hold the child.
TEST(ParentsStress, ConcurrentAttachAndDetachKeepsTheGraphSound) {
    auto connection = FakeInnerConnection::make(std::make_shared<rx::ImmediateScheduler>());
    const UUID root = UUID::random();

    std::vector<std::shared_ptr<TestDictionary>> dictionaries;
    std::vector<std::shared_ptr<TestArray>> arrays;
    std::vector<std::shared_ptr<VKContainer>> all;
    for (int i = 0; i < kDictionaries; ++i) {
        dictionaries.push_back(TestDictionary::make());
        all.push_back(dictionaries.back());
    }
    for (int i = 0; i < kArrays; ++i) {
        arrays.push_back(TestArray::make());
        for (int slot = 0; slot < kArraySlots; ++slot) {
            arrays.back()->append(num(slot));
        }
        all.push_back(arrays.back());
    }
    for (const auto& c : all) {
        Access::setRootId(*c, root);
        Access::setInnerConnection(*c, connection);
    }

    std::atomic<int> refused{0};
    std::atomic<int> unexpected{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        auto pick = [&](auto& from) { return from[random() % from.size()]; };
        auto key = [&] { return std::string(kKeys[random() % 4]); };
        for (int i = 0; i < kIterations; ++i) {
            try {
                switch (random() % 10) {
                    case 0:
                    case 1:
                    case 2:
                        pick(dictionaries)->set(key(), pick(all));
                        break;
                    case 3:
                        pick(arrays)->set(random() % kArraySlots, pick(all));
                        break;
                    case 4:
                        if (random() % 2) {
                            pick(dictionaries)->remove(key());
                        } else {
                            pick(arrays)->set(random() % kArraySlots, num(i));
                        }
                        break;
                    case 5: {
                        // A new local container joins the tree and takes its root.
                        auto fresh = TestDictionary::make();
                        fresh->set("x", pick(all));
                        pick(dictionaries)->set(key(), fresh);
                        break;
                    }
                    case 6:
                        for (const auto& [id, parent] : pick(all)->getAllParents()) {
                            if (parent->id() != id) {
                                ++unexpected;
                            }
                        }
                        break;
                    case 7: {
                        auto subscription = pick(all)->asObservable().subscribe();
                        std::this_thread::yield();
                        subscription->dispose();
                        break;
                    }
                    case 8:
                        if (random() % 8 == 0) {
                            pick(dictionaries)->removeAll();
                        } else {
                            pick(dictionaries)->set(key(), str("s"));
                        }
                        break;
                    default:
                        if (pick(all)->rootId() != root) {
                            ++unexpected;
                        }
                        break;
                }
            } catch (const VKError& e) {
                if (e.code() == VKError::circularReferences) {
                    ++refused;
                } else {
                    ++unexpected;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(worker, 1234u + t);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(refused, 0);

    // Collect the whole graph through the items, fresh containers included.
    std::map<VKContainer*, std::vector<std::shared_ptr<VKContainer>>> children;
    std::vector<std::shared_ptr<VKContainer>> pending(all.begin(), all.end());
    std::vector<std::shared_ptr<VKContainer>> nodes;
    while (!pending.empty()) {
        auto c = pending.back();
        pending.pop_back();
        if (children.contains(c.get())) {
            continue;
        }
        nodes.push_back(c);
        auto& list = children[c.get()];
        auto add = [&](const VKObjectPtr& item) {
            if (auto child = Access::asClientContainer(item)) {
                list.push_back(child);
                pending.push_back(child);
            }
        };
        if (auto dict = std::dynamic_pointer_cast<TestDictionary>(c)) {
            for (const auto& [k, item] : dict->items()) {
                add(item);
            }
        } else {
            auto array = std::static_pointer_cast<TestArray>(c);
            for (std::size_t slot = 0; slot < array->count(); ++slot) {
                add(array->at(slot));
            }
        }
    }

    // No cycles.
    std::map<VKContainer*, int> state;  // 1 on the path, 2 done
    std::function<bool(VKContainer*)> acyclic = [&](VKContainer* c) {
        state[c] = 1;
        for (const auto& child : children[c]) {
            int s = state[child.get()];
            if (s == 1 || (s == 0 && !acyclic(child.get()))) {
                return false;
            }
        }
        state[c] = 2;
        return true;
    };
    for (const auto& c : nodes) {
        if (state[c.get()] == 0) {
            ASSERT_TRUE(acyclic(c.get()));
        }
    }

    // Parent sets match the items exactly, and every container has the tree's root.
    std::map<VKContainer*, std::set<UUID>> holders;
    for (const auto& [parent, list] : children) {
        for (const auto& child : list) {
            holders[child.get()].insert(parent->id());
        }
    }
    for (const auto& c : nodes) {
        std::set<UUID> parents;
        for (const auto& [id, parent] : c->getAllParents()) {
            parents.insert(id);
        }
        EXPECT_EQ(parents, holders[c.get()]);
        EXPECT_EQ(c->rootId(), root);
    }

    // Emptying everything leaves no parent entry behind, once the fresh containers, which
    // hold some of the graph's containers, are gone too.
    for (const auto& d : dictionaries) {
        d->removeAll();
    }
    for (const auto& a : arrays) {
        for (int slot = 0; slot < kArraySlots; ++slot) {
            a->set(slot, num(slot));
        }
    }
    nodes.clear();
    children.clear();
    for (const auto& c : all) {
        EXPECT_EQ(entryCount(*c), 0u);
    }
}

}  // namespace
}  // namespace velkor::test
