#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

using namespace velkor;
using namespace std::chrono_literals;
using namespace velkor::test;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSetsPerClient = 60;
#else
constexpr int kSetsPerClient = 1000;
#endif
/// Keys of the shared file that every client writes.
constexpr int kCommonKeys = 8;

int clientCount() {
    const char* n = std::getenv("VELKOR_STRESS_CLIENTS");
    return n ? std::atoi(n) : 32;
}

std::map<std::string, std::int64_t> numbers(VKDictionary& dictionary) {
    std::map<std::string, std::int64_t> values;
    for (const auto& [key, value] : dictionary.items()) {
        if (auto number = std::dynamic_pointer_cast<VKNumber>(value))
            values[key] = number->value();
    }
    return values;
}

/// One client thread's connection, its two files, what it was told and what was accepted.
struct Client {
    int index;
    VKConnectionPtr connection;
    std::shared_ptr<VKDictionary> own, shared;
    Subscription watching;
    std::mutex toldLock;
    /// The shared file as its observer saw it: each event's key with the value read then.
    std::map<std::string, std::int64_t> told;
    std::map<std::string, std::set<std::int64_t>> accepted;
    std::int64_t lastOwn = -1, lastMine = -1;
    std::vector<std::string> failures;
};

std::string keyOf(const VKContainerChange& change) {
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildAdd>())
        return e->key;
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildReplace>())
        return e->key;
    if (const auto* e = change.get<VKContainerChange::DidDictionaryChildRemove>())
        return e->key;
    return {};
}

void run(Client& c) {
    for (int n = 0; n < kSetsPerClient; ++n) {
        std::string key;
        VKDictionary* file = c.shared.get();
        std::int64_t value = n;
        switch (n % 3) {
            case 0:
                key = "v", file = c.own.get();
                break;
            case 1:
                key = "c" + std::to_string(c.index);
                break;
            default:
                key = "k" + std::to_string((n / 3) % kCommonKeys);
                value = c.index * 1'000'000 + n;
        }
        try {
            file->set(key, std::make_shared<VKNumber>(value));
            if (file == c.own.get())
                c.lastOwn = value;
            else if (key[0] == 'c')
                c.lastMine = value;
            else
                c.accepted[key].insert(value);
        } catch (const VKError& e) {
            // Two clients writing one key from the same revision: one of them loses, rightly.
            if (e.code() != VKError::synchronizeConflict || key[0] != 'k')
                c.failures.push_back(key + ": " + std::string(e.description()));
        }
    }
}

}  // namespace

// Many busy clients of one user on one machine: each writes a file of its own, a key of its own
// in a file all share, and keys every client writes. None may be cut off or lose a write, and
// every copy ends equal to the daemon's, with every change told.
TEST(ManyClients, BusyClientsLoseNothingAndConverge) {
    const auto directory =
        std::filesystem::temp_directory_path() / ("velkor-" + UUID::random().description());
    std::filesystem::create_directories(directory);
    PrivateBus bus;
    TestDaemon daemon({VELKORD_PATH, bus.address(), (directory / "db").string()});
    ConnectionOptions options{.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 60s};

    std::vector<std::unique_ptr<Client>> clients;
    connect(options)->openDictionary("stress.shared");
    for (int i = 0; i < clientCount(); ++i) {
        auto c = std::make_unique<Client>();
        c->index = i;
        c->connection = connect(options);
        c->own = c->connection->openDictionary("stress.own" + std::to_string(i));
        c->shared = c->connection->openDictionary("stress.shared");
        c->watching = c->shared->observe([c = c.get()](const VKContainerChange& change) {
            const auto key = keyOf(change);
            if (key.empty())
                return;
            const std::int64_t value = c->shared->get(key, std::int64_t{-1});
            std::lock_guard lock(c->toldLock);
            c->told[key] = value;
        });
        clients.push_back(std::move(c));
    }
    {
        std::vector<std::jthread> threads;
        for (auto& c : clients)
            threads.emplace_back([&c] { run(*c); });
    }

    auto checker = connect(options);
    auto stored = numbers(*checker->getSettingAs<VKDictionary>("stress.shared", {}, true));
    for (auto& c : clients) {
        SCOPED_TRACE("client " + std::to_string(c->index));
        EXPECT_TRUE(c->failures.empty())
            << c->failures.size() << " failed, first " << c->failures[0];
        // Every acknowledged write is in the store: the last one of each key nobody else writes.
        auto own = checker->getSettingAs<VKDictionary>("stress.own" + std::to_string(c->index));
        EXPECT_EQ(own->get("v", std::int64_t{-1}), c->lastOwn);
        EXPECT_EQ(stored["c" + std::to_string(c->index)], c->lastMine);
    }
    for (int k = 0; k < kCommonKeys; ++k) {
        const auto key = "k" + std::to_string(k);
        bool acceptedSomewhere = false;
        for (auto& c : clients)
            acceptedSomewhere |= c->accepted[key].contains(stored[key]);
        EXPECT_TRUE(acceptedSomewhere) << key << " holds " << stored[key] << ", never accepted";
    }

    // Every copy converges on the store's, and every observer heard the last change of each key.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (auto& c : clients) {
        SCOPED_TRACE("client " + std::to_string(c->index));
        auto told = [&] {
            std::lock_guard lock(c->toldLock);
            auto seen = c->told;
            // Its own writes are not told back to it.
            seen["c" + std::to_string(c->index)] = c->lastMine;
            for (int k = 0; k < kCommonKeys; ++k) {
                const auto key = "k" + std::to_string(k);
                if (c->accepted[key].contains(stored[key]))
                    seen[key] = stored[key];
            }
            return seen;
        };
        while (std::chrono::steady_clock::now() < deadline &&
               (numbers(*c->shared) != stored || told() != stored))
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(numbers(*c->shared), stored);
        EXPECT_EQ(told(), stored);
        EXPECT_EQ(c->own->get("v", std::int64_t{-1}), c->lastOwn);
    }
    for (auto& c : clients) {
        c->watching = {};
        c->connection->dispose();
    }
    std::filesystem::remove_all(directory);
}
