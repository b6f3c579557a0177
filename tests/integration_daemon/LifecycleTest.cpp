#include <filesystem>

#include "DaemonBusTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class LifecycleTest : public DaemonBusTest {
  protected:
    /// The dictionary's blob, read from a daemon started anew on the store.
    std::vector<std::uint8_t> storedAfterRestart(std::vector<std::string> arguments = {}) {
        restart(std::move(arguments));
        return fetched(connect()->request(fetchRequest()));
    }
};

std::string key(int i) {
    return "k" + std::to_string(i);
}

}  // namespace

TEST_F(LifecycleTest, SigtermAnswersWhatArrivedReleasesTheNameAndExitsCleanly) {
    auto client = connect();
    const UUID rootId = create(*client);
    std::vector<UUID> tags;
    for (int i = 0; i < 100; ++i)
        tags.push_back(client->send(setting(rootId, i, key(i), num(i), true)));
    // The daemon answers a ping after reading everything sent before it.
    ASSERT_EQ(client->callForError(callOf(*client, "org.freedesktop.DBus.Peer", "Ping")), "");
    for (int i = 100; i < 200; ++i)
        tags.push_back(client->send(setting(rootId, i, key(i), num(i), true)));
    // A client that keeps sending on its channel does not hold the stop up.
    std::atomic<bool> stopped = false, flooding = false;
    std::jthread flood([&] { floodWithSignals(bus_.address(), 60s, stopped, flooding); });
    // Its channel is handed out before the stop, however slow velkord is.
    while (!flooding)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);

    const auto stopping = std::chrono::steady_clock::now();
    const int status = daemon().stop(SIGTERM);
    stopped = true;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << daemon().log();
    // Reading, answering and writing out are each bounded by the drain time (2 s).
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 7s);
    EXPECT_FALSE(client->bus().nameOwner(kService).has_value());

    // Every request read before the signal is answered; the rest may be answered too, in order.
    int answered = 0;
    for (; answered < 200; ++answered) {
        auto answer = client->answer(tags[answered], answered < 100 ? DaemonClient::kPatience : 1s);
        if (!answer)
            break;
        EXPECT_EQ(text(answer), doneAt(answered + 1));
    }
    EXPECT_GE(answered, 100);
    // Exactly the answered changes were stored.
    EXPECT_EQ(storedAfterRestart(), daemonBlob(numbered(rootId, answered), rootId));
}

class SigkillTest : public LifecycleTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SigkillTest, SigkillDuringAStreamOfUpdatesLosesNoAcceptedChange) {
    restart({"--durability", GetParam()});
    auto client = connect();
    const UUID rootId = create(*client);

    // Updates stream with up to 16 in flight; the daemon dies while they flow.
    constexpr int kWindow = 16, kKillAfter = 300;
    std::vector<UUID> tags;
    int accepted = 0;
    auto sendOne = [&] {
        const int next = static_cast<int>(tags.size());
        tags.push_back(client->send(setting(rootId, next, key(next), num(next), true)));
    };
    for (int i = 0; i < kWindow; ++i)
        sendOne();
    for (int i = 0; i < kKillAfter; ++i) {
        ASSERT_EQ(text(client->answer(tags[i])), doneAt(++accepted));
        sendOne();
    }
    daemon().stop(SIGKILL);
    // Answers already on their way count as accepted too.
    for (int i = kKillAfter; i < static_cast<int>(tags.size()); ++i) {
        auto answer = client->answer(tags[i], 200ms);
        if (!answer)
            break;
        accepted += text(answer) == doneAt(i + 1) ? 1 : 0;
    }

    // The store is whole, and holds every accepted change and maybe some that were on their way.
    EXPECT_EQ(sql(dir_.file("settings.db"), "PRAGMA integrity_check"), "ok");
    const auto stored = storedAfterRestart({"--durability", GetParam()});
    bool found = false;
    for (auto n = accepted; n <= static_cast<int>(tags.size()); ++n)
        found = found || stored == daemonBlob(numbered(rootId, n), rootId);
    EXPECT_TRUE(found) << "an accepted change was lost";
}

INSTANTIATE_TEST_SUITE_P(Durabilities, SigkillTest, ::testing::Values("normal", "full"));

TEST_F(LifecycleTest, ASecondInstanceOrAForeignDatabaseIsRefusedAndTheFirstStopsWithItsBus) {
    const std::string otherStore = dir_.file("other.db"), foreign = dir_.file("foreign.db");
    sql(foreign, "CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me');");
    const std::string before = contents(foreign);
    const std::string velkord = kVelkord + " --bus-address '" + bus_.address() + "' 2>&1 --db ";
    auto [status, output] = run(velkord + otherStore);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("velkord: the name org.velkor.SettingsDaemon is already owned"),
              std::string::npos)
        << output;
    EXPECT_FALSE(std::filesystem::exists(otherStore));
    // Under a name of its own, it finds a database that is not a store, and leaves it untouched.
    std::tie(status, output) =
        run("timeout 10 " + velkord + foreign + " --service-name org.velkor.Other");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("it is not a velkord store and is left untouched"), std::string::npos)
        << output;
    EXPECT_TRUE(contents(foreign) == before) << "the file was changed";
    EXPECT_FALSE(std::filesystem::exists(foreign + "-wal"));

    // The first one serves on, until its bus goes.
    othersAreServed();
    bus_.stop();
    auto exit = daemon().waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_TRUE(WIFEXITED(*exit) && WEXITSTATUS(*exit) == 1) << daemon().log();
}

TEST(VelkordCommandLineTest, UsageErrorsExitWithTwoAndAnUnreachableBusWithOne) {
    for (const char* wrong :
         {"--no-such-option", "--max-file-size lots", "--max-file-size 40M",
          "--max-answer-size 32M", "--max-answer-size 40M --max-file-size 40M",
          "--fleet 127.0.0.1 --fleet-domains org.x",
          "--fleet 127.0.0.1:65536 --fleet-domains org.x", "--fleet 127.0.0.1:1 --fleet-domains ''",
          "--fleet 127.0.0.1:1 --fleet-domains org.x --fleet-prefix ''"})
        EXPECT_EQ(run(kVelkord + " " + wrong + " 2>/dev/null").first, 2) << wrong;
    // The largest answer limit whose messages the bus still carries is taken, and members named
    // as etcd prints them.
    for (const char* right : {"", "--max-answer-size 32704K",
                              "--fleet http://127.0.0.1:2379,[::1]:2379 --fleet-domains org.x"})
        EXPECT_EQ(run(kVelkord + " --bus-address unix:path=/nonexistent/bus 2>&1 " + right).first,
                  1)
            << right;
}
