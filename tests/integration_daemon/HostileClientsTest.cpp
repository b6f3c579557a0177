#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "DaemonBusTesting.h"
#include "dbus/BusError.h"
#include "dbus/MessageWriter.h"

using namespace velkor;
using namespace velkor::test;

namespace {

/// Clients that try to take the daemon down for everyone, run under an unprivileged uid.
class HostileClientsTest : public DaemonBusTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "running a client under another uid needs root";
    }

    /// Another client is still served.
    void othersAreServed() {
        EXPECT_EQ(text(connect()->request(fetchRequest(1000, "org.example.none"))), kNoAccess);
    }

    /// A file of 1000 in `domain` that `holders` hold and stop reading while `changes` of 256 KiB
    /// each are made to it; every change is still taken and answered.
    UUID floodHolders(std::vector<DaemonClient*> holders, int changes, const std::string& domain) {
        auto writer = connect();
        const UUID rootId = newId();
        EXPECT_EQ(text(writer->request(createRequest(dict(rootId, {}), 1000, domain))),
                  "requestSucceeded");
        for (auto* holder : holders)
            EXPECT_EQ(fetchedTree(holder->request(fetchRequest(1000, domain))).id, rootId);
        for (int i = 0; i < changes; ++i) {
            const Node big = dat(std::string(256 * 1024, i % 2 ? 'x' : 'y'));
            EXPECT_EQ(text(writer->request(setRequest(rootId, i, "v", big, i == 0))),
                      doneAt(i + 1));
        }
        return rootId;
    }

    /// How many notices `holder` reads, in order, before the one that abandons its copy; -1
    /// when that one does not come.
    static int noticesUntilAbandoned(DaemonClient& holder, int most) {
        for (int n = 0; n <= most; ++n) {
            const auto r = noticed(holder.notification());
            if (r->type == ChangeType::containerAbandoned)
                return n;
            EXPECT_EQ(r->revision, n + 1);
        }
        return -1;
    }
};

constexpr std::size_t kMiB = 1024 * 1024;

// Sanitizer builds move big messages slowly (sd-bus grows its buffers step by step), and their
// runtimes keep freed memory in quarantine: there the scenarios run with a tenth of the real
// sizes and limits, and the daemon's memory is measured in the optimised build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kScale = 10;
#else
constexpr std::size_t kScale = 1;
#endif

/// velkord's limits on files and answers, in MiB, scaled down in sanitizer builds.
std::vector<std::string> sizeLimits(std::size_t file, std::size_t answer) {
    return {"--max-file-size", std::to_string(file * kMiB / kScale), "--max-answer-size",
            std::to_string(answer * kMiB / kScale)};
}

/// Sends a call of a member velkord does not have, worth an invalidData answer under its tag.
UUID sendUnknownCall(DaemonClient& client) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(
        sd_bus_message_new_method_call(client.bus().get(), &raw, kService.c_str(),
                                       "/org/velkor/SettingsDaemon",
                                       "org.velkor.SettingsRequestService", "dropSettingsWithTag"),
        "Building a call");
    dbus::Message call(raw);
    sd_bus_message_set_expect_reply(call.get(), 0);
    const UUID tag = UUID::random();
    dbus::MessageWriter(call.get()).uuid(tag);
    client.sendRaw(call, tag);
    return tag;
}

/// The peak resident memory of a process, in bytes.
std::size_t peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

}  // namespace

TEST_F(HostileClientsTest, NoFileGrowsPastWhatOneAnswerCanCarry) {
    const auto& address = bus_.address();
    const std::string fill = " 3 " + std::to_string(15 * kMiB / kScale);
    // Values of 15 MiB, each under the limit on blobs: the second would make the file larger
    // than one answer may be (the default limits), and nothing of it is stored.
    restart(sizeLimits(24, 30));
    EXPECT_EQ(probe(true, address, "fill 65534 org.example.big" + fill),
              "requestSucceeded; " + doneAt(1) + "; " + kInvalidData + "; " + kInvalidData);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.big").rfind("settingsFetched(", 0), 0u);

    // A file stored under wider limits than today's, larger than the bus carries: fetching it is
    // refused, again and again, and the daemon serves on.
    restart(sizeLimits(60, 60));
    EXPECT_EQ(probe(true, address, "fill 65534 org.example.old" + fill),
              "requestSucceeded; " + doneAt(1) + "; " + doneAt(2) + "; " + doneAt(3));
    restart(sizeLimits(24, 30));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(probe(true, address, "fetch 65534 org.example.old"),
                  "requestHasFailed(A settings file exists but has invalid data.)");
    othersAreServed();
}

TEST_F(HostileClientsTest, AClientThatFloodsAndDoesNotReadLosesOnlyItsOwnService) {
    const auto& address = bus_.address();
    ASSERT_EQ(probe(true, address, "fill 65534 org.example.flood 1 " + std::to_string(256 * 1024)),
              "requestSucceeded; " + doneAt(1));
    // 1500 fetches of a 256 KiB file: 375 MiB of answers it never reads, three times what the
    // bus holds for one sender before it stops reading from it.
    FILE* attacker = popen((kAsNobody + kProbe + " '" + address + "' " + kService +
                            " flood 65534 org.example.flood 1500")
                               .c_str(),
                           "r");
    ASSERT_NE(attacker, nullptr);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, attacker), nullptr);
    int sent = 0, pid = 0;
    ASSERT_EQ(std::sscanf(line, "sent %d %d", &sent, &pid), 2) << line;

    // Everyone else is served meanwhile, and velkord's memory stays bounded.
    auto victim = connect();
    const UUID rootId = newId();
    EXPECT_EQ(text(victim->request(createRequest(dict(rootId, {})))), "requestSucceeded");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(fetchedTree(victim->request(fetchRequest())).id, rootId);
    if (kScale == 1) {
        EXPECT_LT(peakMemory(daemon().pid()), 128 * kMiB);
    }
    kill(pid, SIGKILL);
    pclose(attacker);
    othersAreServed();
}

TEST_F(HostileClientsTest, HoldersThatDoNotReadAreCutOffAndToldWhenTheyReadAgain) {
    restart({"--max-unread-size", std::to_string(16 * kMiB / kScale)});
    auto alone = connect();
    const int changes = static_cast<int>(300 / kScale);  // 75 MiB of notices
    const UUID rootId = floodHolders({alone.get()}, changes, "org.example.app");
    // Reading again, it gets the notices sent before it was cut off, then word that its copy
    // is no longer kept up to date.
    const int notices = noticesUntilAbandoned(*alone, changes);
    EXPECT_GT(notices, 0);
    EXPECT_LT(notices, changes);
    // Fetched again, it hears of changes again.
    ASSERT_EQ(fetchedTree(alone->request(fetchRequest())).revision, changes);
    EXPECT_EQ(text(connect()->request(setRequest(rootId, changes, "v", num(1)))),
              doneAt(changes + 1));
    EXPECT_EQ(noticed(alone->notification())->revision, changes + 1);

    // Two connections of one user, each under its own budget, are over their user's together.
    restart({"--max-unread-size", "8M", "--max-user-unread-size", "2M"});
    auto first = connect();
    auto second = connect();
    floodHolders({first.get(), second.get()}, 20, "org.example.two");
    EXPECT_GE(noticesUntilAbandoned(*first, 20), 0);
    EXPECT_GE(noticesUntilAbandoned(*second, 20), 0);
}

TEST_F(HostileClientsTest, AnswersToAClientThatDoesNotReadStopAtItsBudgetAndResumeWhenItDoes) {
    // 20,000 calls of an unknown member, each worth an invalidData answer, never read meanwhile:
    // how many are answered once the caller reads.
    auto answeredOf = [&](const std::string& waitingLimit) {
        restart({"--max-unread-size", "1M", "--max-waiting-requests", waitingLimit});
        auto attacker = connect();
        std::vector<UUID> tags;
        for (int i = 0; i < 20000; ++i)
            tags.push_back(sendUnknownCall(*attacker));
        EXPECT_GE(sd_bus_flush(attacker->bus().get()), 0);
        othersAreServed();
        std::size_t answered = 0;
        while (answered < tags.size() &&
               attacker->answer(tags[answered],
                                std::chrono::milliseconds(answered == 0 ? 10000 : 500)))
            ++answered;
        return answered;
    };
    // It finds the answers sent before it went past its budget, then those of the calls that
    // waited meanwhile, up to the limit of waiting requests; no more.
    const std::size_t oneWaiting = answeredOf("1");
    EXPECT_GT(oneWaiting, 1u);
    EXPECT_NEAR(answeredOf("100"), oneWaiting + 99, 20);

    // A 2 MiB answer puts a client over its budget until it answers the ping sent after it,
    // which it does only when it next reads: its bad call meanwhile is answered then.
    auto client = connect();
    const UUID rootId = newId();
    ASSERT_EQ(text(client->request(createRequest(
                  dict(rootId, {{"v", dat(std::string(2 * kMiB, 'x'))}}), 0, "org.example.big"))),
              "requestSucceeded");
    ASSERT_EQ(fetchedTree(client->request(fetchRequest(0, "org.example.big"))).id, rootId);
    EXPECT_EQ(text(client->answer(sendUnknownCall(*client))), kInvalidData);
}
