#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

// Changes the child reports before it is killed; enough to kill it mid-stream without making the
// test slow under the fullest durability.
constexpr std::int64_t reportsBeforeKill = 150;

class CrashTest : public ::testing::TestWithParam<daemon::Durability> {};

}  // namespace

TEST_P(CrashTest, EveryAcceptedChangeSurvivesSigkill) {
    TempDir dir;
    const auto path = dir.file("settings.db");
    const UUID rootId = newId();
    const ClientRequest create{
        ClientRequest::CreateSettings{Blob(clientBlob(dict(rootId, {}))), "crash", 1000}};
    ASSERT_TRUE(succeeded(daemon::SettingsStore(path, GetParam()).handle(alice, create)));

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Applies changes in a loop and reports each one answered as accepted, until killed.
        ::close(fds[0]);
        try {
            daemon::SettingsStore store(path, GetParam());
            for (std::int64_t i = 0;; ++i) {
                const auto o =
                    store.handle(alice, setting(rootId, i, "k" + std::to_string(i), num(i), true));
                const auto* u = o.answer.get<ServerResponse::SettingsUpdated>();
                if (!u || u->changeResult != ChangeResult::done ||
                    ::write(fds[1], &i, sizeof i) != sizeof i)
                    ::_exit(3);
            }
        } catch (...) {
            ::_exit(4);
        }
    }
    ::close(fds[1]);

    std::int64_t accepted = 0, report = 0;
    while (::read(fds[0], &report, sizeof report) == sizeof report) {
        EXPECT_EQ(report, accepted);
        if (++accepted == reportsBeforeKill)
            ::kill(child, SIGKILL);
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended early";

    EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
    daemon::SettingsStore store(path, GetParam());
    const auto top =
        fetched(store.handle(alice, ClientRequest::FetchSettings{"crash", 1000, "", false}));
    // Every reported change is there; the one in flight when the child died may be too.
    EXPECT_GE(top.revision, accepted);
    EXPECT_LE(top.revision, accepted + 1);
    ASSERT_EQ(static_cast<std::int64_t>(top.count()), top.revision);
    for (std::int64_t i = 0; i < accepted; ++i)
        EXPECT_EQ(top.at("k" + std::to_string(i)).number, i);
}

INSTANTIATE_TEST_SUITE_P(Durabilities, CrashTest,
                         ::testing::Values(daemon::Durability::normal, daemon::Durability::full),
                         [](const auto& info) {
                             return info.param == daemon::Durability::full ? "full" : "normal";
                         });
