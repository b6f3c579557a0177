#include <atomic>
#include <thread>

#include "DaemonTesting.h"
#include "support/OnThreads.h"

using namespace velkor;
using namespace velkor::test;

TEST(ConcurrencyTest, ThreadsShareOneStore) {
    TempDir dir;
    daemon::SettingsStore store(dir.file("settings.db"));
    const UUID rootId = newId();
    const ClientRequest fetchAll = ClientRequest::FetchSettings{"shared", 1000, "", true};
    store.handle(alice,
                 ClientRequest::CreateSettings{Blob(clientBlob(dict(rootId, {}))), "shared", 1000});

    constexpr int writers = 4, changesPerWriter = 40;
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        const daemon::Caller me{":1.200", 1000};
        while (!done) {
            EXPECT_NE(store.handle(me, fetchAll).answer.get<ServerResponse::SettingsFetched>(),
                      nullptr);
            store.clientGone(me.clientId);
        }
    });
    onThreads(writers, [&](int t) {
        const daemon::Caller me{":1." + std::to_string(100 + t), 1000};
        for (int i = 0; i < changesPerWriter; ++i) {
            // Every writer works from revision 0 and writes keys of its own, so the merge
            // rule accepts every change, whatever the order the threads run in.
            const int k = t * changesPerWriter + i;
            daemon::PendingRequest request{
                me, setting(rootId, 0, "k" + std::to_string(k), num(k), true)};
            const auto outcome = i % 2 ? store.applyBatch(std::span(&request, 1)).front()
                                       : store.handle(me, request.request);
            const auto* u = outcome.answer.get<ServerResponse::SettingsUpdated>();
            if (u && (u->changeResult == ChangeResult::done ||
                      u->changeResult == ChangeResult::waitToBeUpdated))
                ++accepted;
        }
    });
    done = true;
    reader.join();

    EXPECT_EQ(accepted, writers * changesPerWriter);
    EXPECT_EQ(fetched(store.handle(alice, fetchAll)),
              daemonBlob(numbered(rootId, writers * changesPerWriter), rootId));
}
