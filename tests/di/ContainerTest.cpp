#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "velkor/di/Container.h"

using namespace velkor::di;

namespace {

struct Transport {
    int serial;
};
struct Connection {
    std::shared_ptr<Transport> transport;
};
struct Unregistered {};

}  // namespace

TEST(DependencyContainer, TransientBuildsNewObjectsAndFactoriesResolveDependencies) {
    Container container;
    std::atomic<int> built{0};
    container
        .registerFactory<Transport>(
            [&](const Resolver&) { return std::make_shared<Transport>(Transport{++built}); })
        .inObjectScope(ObjectScope::transient);
    auto resolver = container.synchronize();
    container.registerFactory<Connection>([resolver](const Resolver&) {
        return std::make_shared<Connection>(Connection{resolver->resolve<Transport>()});
    });

    auto a = container.resolve<Connection>();
    auto b = resolver->resolve<Connection>();
    ASSERT_TRUE(a && b && a->transport && b->transport);
    EXPECT_NE(a, b);
    EXPECT_NE(a->transport, b->transport);
    EXPECT_EQ(built.load(), 2);
    EXPECT_EQ(container.resolve<Unregistered>(), nullptr);
}

TEST(DependencyContainer, NamesScopesAndReplacement) {
    Container container;
    container.registerFactory<Transport>(
        [](const Resolver&) { return std::make_shared<Transport>(Transport{1}); });
    container.registerFactory<Transport>(
        [](const Resolver&) { return std::make_shared<Transport>(Transport{2}); }, "other");
    EXPECT_EQ(container.resolve<Transport>()->serial, 1);
    EXPECT_EQ(container.resolve<Transport>("other")->serial, 2);
    EXPECT_EQ(container.resolve<Transport>("missing"), nullptr);

    container
        .registerFactory<Transport>(
            [](const Resolver&) { return std::make_shared<Transport>(Transport{3}); })
        .inObjectScope(ObjectScope::container);
    auto first = container.resolve<Transport>();
    EXPECT_EQ(first->serial, 3) << "a second registration replaces the first";
    EXPECT_EQ(container.resolve<Transport>(), first) << "container scope caches";
}

TEST(DependencyContainer, ResolvesFromManyThreadsWhileRegistering) {
    Container container;
    container.registerFactory<Transport>(
        [](const Resolver&) { return std::make_shared<Transport>(Transport{7}); });
    auto resolver = container.synchronize();
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (auto tr = resolver->resolve<Transport>(); tr && tr->serial == 7)
                    ++ok;
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        container.registerFactory<Connection>(
            [](const Resolver&) { return std::make_shared<Connection>(); }, std::to_string(i));
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok.load(), 2000);
    EXPECT_NE(resolver->resolve<Connection>("199"), nullptr);
}

TEST(DependencyContainer, SynchronizedResolversDoNotKeepTheContainerAlive) {
    // Factories keep resolvers (the library's registrations do); that must not make the
    // container's registrations keep themselves alive.
    std::shared_ptr<Resolver> resolver;
    std::weak_ptr<Transport> built;
    {
        Container container;
        resolver = container.synchronize();
        container.registerFactory<Transport>(
            [resolver](const Resolver&) { return std::make_shared<Transport>(Transport{1}); });
        auto t = resolver->resolve<Transport>();
        ASSERT_NE(t, nullptr);
        built = t;
    }
    EXPECT_EQ(resolver->resolve<Transport>(), nullptr) << "the container is gone";
}
