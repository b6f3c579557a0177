#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/OnThreads.h"
#include "velkor/di/Container.h"

using namespace velkor::di;

namespace {

struct Transport {
    int serial;
};
struct Connection {
    std::shared_ptr<Transport> transport;
};

}  // namespace

// Factories by type and name, transient or built once; a later registration replaces an earlier
// one. Resolvers work from many threads while registrations go on, and do not keep the container
// (whose factories keep resolvers, as the library's do) alive.
TEST(DependencyContainer, FactoriesByTypeAndNameInTheirScopesFromManyThreads) {
    std::shared_ptr<Resolver> resolver;
    {
        Container container;
        resolver = container.synchronize();
        std::atomic<int> built{0};
        container
            .registerFactory<Transport>(
                [&](const Resolver&) { return std::make_shared<Transport>(Transport{++built}); })
            .inObjectScope(ObjectScope::transient);
        container.registerFactory<Connection>([resolver](const Resolver&) {
            return std::make_shared<Connection>(Connection{resolver->resolve<Transport>()});
        });
        std::atomic<int> distinct{0};
        std::thread registering([&] {
            for (int i = 0; i < 200; ++i)
                container.registerFactory<Transport>(
                    [](const Resolver&) { return std::make_shared<Transport>(Transport{-1}); },
                    std::to_string(i));
        });
        velkor::test::onThreads(3, [&](int) {
            for (int i = 0; i < 300; ++i) {
                auto a = resolver->resolve<Connection>(), b = container.resolve<Connection>();
                distinct += a && b && a->transport && a->transport != b->transport;
            }
        });
        registering.join();
        EXPECT_EQ(distinct.load(), 900);
        EXPECT_EQ(built.load(), 1800);
        EXPECT_EQ(container.resolve<Transport>("199")->serial, -1);
        EXPECT_EQ(container.resolve<Transport>("missing"), nullptr);

        container
            .registerFactory<Transport>(
                [](const Resolver&) { return std::make_shared<Transport>(Transport{3}); })
            .inObjectScope(ObjectScope::container);
        auto first = container.resolve<Transport>();
        EXPECT_EQ(first->serial, 3);
        EXPECT_EQ(resolver->resolve<Transport>(), first);
    }
    EXPECT_EQ(resolver->resolve<Transport>(), nullptr) << "the container is gone";
}
