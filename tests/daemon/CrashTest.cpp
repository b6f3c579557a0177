#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

// Changes the child reports before it is killed; enough to kill it mid-stream without making the
// test slow under the fullest durability.
constexpr std::int64_t reportsBeforeKill = 150;

std::string integrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
        result.clear();
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            result += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

// The child: applies changes in a loop and reports each one answered as accepted. Never returns.
[[noreturn]] void applyChangesForever(const std::string& path, daemon::Durability durability,
                                      const UUID& rootId, int reportFd) {
    try {
        daemon::SettingsStore store(path, durability);
        for (std::int64_t i = 0;; ++i) {
            const auto o = store.handle(alice, ClientRequest::UpdateSettings{record(
                                                   ChangeType::childInserted, rootId, i, 0, 0,
                                                   "k" + std::to_string(i), clientBlob(num(i)))});
            const auto* u = o.answer.get<ServerResponse::SettingsUpdated>();
            if (!u || u->changeResult != ChangeResult::done ||
                ::write(reportFd, &i, sizeof i) != sizeof i) {
                ::_exit(3);
            }
        }
    } catch (...) {
        ::_exit(4);
    }
}

class CrashTest : public ::testing::TestWithParam<daemon::Durability> {};

}  // namespace

TEST_P(CrashTest, EveryAcceptedChangeSurvivesSigkill) {
    TempDir dir;
    const auto path = dir.file("settings.db");
    const UUID rootId = newId();
    {
        daemon::SettingsStore store(path, GetParam());
        ASSERT_TRUE(
            succeeded(store.handle(alice, ClientRequest::CreateSettings{
                                              Blob(clientBlob(dict(rootId, {}))), "crash", 1000})));
    }

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        applyChangesForever(path, GetParam(), rootId, fds[1]);
    }
    ::close(fds[1]);

    std::int64_t accepted = 0;
    std::int64_t report = 0;
    bool killed = false;
    while (::read(fds[0], &report, sizeof report) == sizeof report) {
        EXPECT_EQ(report, accepted);
        ++accepted;
        if (!killed && accepted >= reportsBeforeKill) {
            ::kill(child, SIGKILL);
            killed = true;
        }
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended early";

    EXPECT_EQ(integrityCheck(path), "ok");
    daemon::SettingsStore store(path, GetParam());
    const auto top =
        fetched(store.handle(alice, ClientRequest::FetchSettings{"crash", 1000, "", false}));
    // Every reported change is there; the one in flight when the child died may be too.
    EXPECT_GE(top.revision, accepted);
    EXPECT_LE(top.revision, accepted + 1);
    ASSERT_EQ(static_cast<std::int64_t>(top.count()), top.revision);
    for (std::int64_t i = 0; i < accepted; ++i) {
        EXPECT_EQ(top.at("k" + std::to_string(i)).number, i);
    }
}

INSTANTIATE_TEST_SUITE_P(Durabilities, CrashTest,
                         ::testing::Values(daemon::Durability::normal, daemon::Durability::full),
                         [](const auto& info) {
                             return info.param == daemon::Durability::full ? "full" : "normal";
                         });
