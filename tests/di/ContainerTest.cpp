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

std::shared_ptr<Transport> transport(int serial) {
    return std::make_shared<Transport>(Transport{serial});
}

}  // namespace

TEST(DependencyContainer, FactoriesByTypeAndNameInTheirScopes) {
    Container container;
    std::atomic<int> built{0};
    container.registerFactory<Transport>([&](const Resolver&) { return transport(++built); })
        .inObjectScope(ObjectScope::transient);
    container.registerFactory<Transport>([](const Resolver&) { return transport(-1); }, "other");
    auto resolver = container.synchronize();
    container.registerFactory<Connection>([resolver](const Resolver&) {
        return std::make_shared<Connection>(Connection{resolver->resolve<Transport>()});
    });

    auto a = container.resolve<Connection>();
    auto b = resolver->resolve<Connection>();
    ASSERT_TRUE(a && b && a->transport && b->transport);
    EXPECT_NE(a->transport, b->transport);
    EXPECT_EQ(built.load(), 2);
    EXPECT_EQ(container.resolve<Transport>("other")->serial, -1);
    EXPECT_EQ(container.resolve<Transport>("missing"), nullptr);
    EXPECT_EQ(container.resolve<int>(), nullptr);

    // A second registration replaces the first; container scope builds once.
    container.registerFactory<Transport>([](const Resolver&) { return transport(3); })
        .inObjectScope(ObjectScope::container);
    auto first = container.resolve<Transport>();
    EXPECT_EQ(first->serial, 3);
    EXPECT_EQ(container.resolve<Transport>(), first);
}

TEST(DependencyContainer, ResolversWorkFromManyThreadsAndDoNotKeepTheContainerAlive) {
    std::shared_ptr<Resolver> resolver;
    {
        Container container;
        resolver = container.synchronize();
        // Factories keep resolvers (the library's registrations do): that must not make the
        // container's registrations keep themselves alive.
        container.registerFactory<Transport>([resolver](const Resolver&) { return transport(7); });
        std::atomic<int> ok{0};
        std::thread registering([&] {
            for (int i = 0; i < 200; ++i)
                container.registerFactory<Connection>(
                    [](const Resolver&) { return std::make_shared<Connection>(); },
                    std::to_string(i));
        });
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i)
                    ok += resolver->resolve<Transport>()->serial == 7;
            });
        registering.join();
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(ok.load(), 1500);
        EXPECT_NE(resolver->resolve<Connection>("199"), nullptr);
    }
    EXPECT_EQ(resolver->resolve<Transport>(), nullptr) << "the container is gone";
}
