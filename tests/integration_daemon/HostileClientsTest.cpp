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

/// A size option of velkord, scaled down in sanitizer builds.
std::vector<std::string> sizeOption(const std::string& name, std::size_t mib) {
    return {name, std::to_string(mib * kMiB / kScale)};
}

/// velkord's default limits on files and answers, scaled down in sanitizer builds.
std::vector<std::string> defaultSizeLimits() {
    if (kScale == 1)
        return {};
    auto options = sizeOption("--max-file-size", 24);
    for (auto& o : sizeOption("--max-answer-size", 30))
        options.push_back(o);
    return options;
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

const std::string kFifteenMiB = std::to_string(15 * kMiB / kScale);

}  // namespace

TEST_F(HostileClientsTest, NoFileGrowsPastWhatOneAnswerCanCarry) {
    const auto& address = bus_.address();
    restart(defaultSizeLimits());
    // Three values of 15 MiB, each under the limit on blobs: the second would make the file
    // larger than one answer may be, and nothing of it is stored.
    EXPECT_EQ(
        probe(true, address, "fill 65534 org.example.big 3 " + kFifteenMiB),
        "requestSucceeded; settingsUpdated(done, newRev=1); " + kInvalidData + "; " + kInvalidData);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.big").rfind("settingsFetched(", 0), 0u);
    othersAreServed();

    // A file stored under wider limits than today's, larger than the bus carries: fetching it is
    // refused, again and again, and the daemon serves on.
    auto wider = sizeOption("--max-file-size", 60);
    for (auto& o : sizeOption("--max-answer-size", 60))
        wider.push_back(o);
    restart(wider);
    EXPECT_EQ(probe(true, address, "fill 65534 org.example.old 3 " + kFifteenMiB),
              "requestSucceeded; settingsUpdated(done, newRev=1); settingsUpdated(done, newRev=2); "
              "settingsUpdated(done, newRev=3)");
    restart(defaultSizeLimits());
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.old"), kInvalidFileData);
    EXPECT_EQ(probe(true, address, "fetch 65534 org.example.old"), kInvalidFileData);
    othersAreServed();
}

namespace {

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

TEST_F(HostileClientsTest, AClientThatFloodsAndDoesNotReadLosesOnlyItsOwnService) {
    const auto& address = bus_.address();
    ASSERT_EQ(probe(true, address, "fill 65534 org.example.flood 1 " + std::to_string(256 * 1024)),
              "requestSucceeded; settingsUpdated(done, newRev=1)");
    // 1500 fetches of a 256 KiB file: 375 MiB of answers it never reads, three times what the
    // bus holds for one sender before it stops reading from it.
    FILE* attacker = popen(("setpriv --reuid=65534 --regid=65534 --clear-groups " + kProbe + " '" +
                            address + "' " + kService + " flood 65534 org.example.flood 1500")
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
    EXPECT_EQ(text(victim->request(createRequest(dict(rootId, {}), 1000, "org.example.app"))),
              "requestSucceeded");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(fetchedTree(victim->request(fetchRequest(1000, "org.example.app"))).id, rootId);
    if (kScale == 1) {
        EXPECT_LT(peakMemory(daemon().pid()), 128 * kMiB);
    }

    kill(pid, SIGKILL);
    pclose(attacker);
    othersAreServed();
}

TEST_F(HostileClientsTest, AHolderThatDoesNotReadIsCutOffAndToldWhenItReadsAgain) {
    restart(sizeOption("--max-unread-size", 16));
    auto writer = connect();
    auto holder = connect();
    const UUID rootId = newId();
    ASSERT_EQ(text(writer->request(createRequest(dict(rootId, {}), 1000, "org.example.app"))),
              "requestSucceeded");
    ASSERT_EQ(fetchedTree(holder->request(fetchRequest(1000, "org.example.app"))).id, rootId);

    // The holder stops reading while 600 changes of 256 KiB each make 150 MiB of notices for
    // it: every change is still taken and answered.
    const int changes = static_cast<int>(600 / kScale);
    for (int i = 0; i < changes; ++i) {
        const Node big = dat(std::string(256 * 1024, i % 2 ? 'x' : 'y'));
        ASSERT_EQ(text(writer->request(setRequest(rootId, i, "v", big, i == 0))),
                  "settingsUpdated(done, newRev=" + std::to_string(i + 1) + ")");
    }

    // Reading again, it gets the notices sent before it was cut off, then word that its copy
    // is no longer kept up to date.
    int notices = 0;
    for (;;) {
        auto received = records(holder->notification());
        ASSERT_EQ(received.size(), 1u);
        if (received[0].first->type == ChangeType::containerAbandoned) {
            EXPECT_EQ(received[0].first->id, rootId);
            break;
        }
        EXPECT_EQ(received[0].first->type,
                  notices == 0 ? ChangeType::childInserted : ChangeType::childChanged);
        ++notices;
    }
    EXPECT_LT(notices, changes);
    // Fetched again, it hears of changes again.
    ASSERT_EQ(fetchedTree(holder->request(fetchRequest(1000, "org.example.app"))).revision,
              changes);
    EXPECT_EQ(text(writer->request(setRequest(rootId, changes, "v", num(1)))),
              "settingsUpdated(done, newRev=" + std::to_string(changes + 1) + ")");
    EXPECT_EQ(records(holder->notification()).at(0).first->revision, changes + 1);
}

TEST_F(HostileClientsTest, GarbageFromAClientThatDoesNotReadIsNotAnsweredPastItsBudget) {
    restart({"--max-unread-size", "1M"});
    auto attacker = connect();
    // 20,000 calls of an unknown member, each worth an invalidData answer, never read meanwhile.
    std::vector<UUID> tags;
    for (int i = 0; i < 20000; ++i) {
        tags.push_back(sendUnknownCall(*attacker));
    }
    ASSERT_GE(sd_bus_flush(attacker->bus().get()), 0);
    othersAreServed();
    // Reading now, it finds the answers sent before it went past its budget, and no more.
    std::size_t answered = 0;
    while (answered < tags.size() &&
           attacker->answer(tags[answered], std::chrono::milliseconds(answered == 0 ? 10000 : 500)))
        ++answered;
    EXPECT_GT(answered, 0u);
    EXPECT_LT(answered, tags.size() / 2);
    othersAreServed();
}

TEST_F(HostileClientsTest, AClientOverItsBudgetOnlyForNowLosesNoAnswer) {
    restart({"--max-unread-size", "1M"});
    auto client = connect();
    const UUID rootId = newId();
    ASSERT_EQ(
        text(client->request(createRequest(
            dict(rootId, {{"v", dat(std::string(2 * 1024 * 1024, 'x'))}}), 0, "org.example.big"))),
        "requestSucceeded");
    // The 2 MiB answer puts it over its budget until it answers the ping sent after it, which
    // it does only when it next reads: its bad call meanwhile is answered then.
    ASSERT_EQ(fetchedTree(client->request(fetchRequest(0, "org.example.big"))).id, rootId);
    const UUID tag = sendUnknownCall(*client);
    EXPECT_EQ(text(client->answer(tag)), kInvalidData);
}

TEST_F(HostileClientsTest, ConnectionsOfOneUserShareABudgetForWhatTheyLeaveUnread) {
    restart({"--max-unread-size", "8M", "--max-user-unread-size", "2M"});
    auto writer = connect();
    const UUID rootId = newId();
    ASSERT_EQ(text(writer->request(createRequest(dict(rootId, {}), 1000, "org.example.app"))),
              "requestSucceeded");
    // Two connections of one user hold the file and stop reading: 5 MiB of notices each, under
    // the budget of one connection, over that of their user together.
    auto first = connect();
    auto second = connect();
    for (auto* holder : {first.get(), second.get()})
        ASSERT_EQ(fetchedTree(holder->request(fetchRequest(1000, "org.example.app"))).id, rootId);
    for (int i = 0; i < 20; ++i) {
        const Node big = dat(std::string(256 * 1024, i % 2 ? 'x' : 'y'));
        ASSERT_EQ(text(writer->request(setRequest(rootId, i, "v", big, i == 0))),
                  "settingsUpdated(done, newRev=" + std::to_string(i + 1) + ")");
    }
    for (auto* holder : {first.get(), second.get()}) {
        for (;;) {
            auto received = records(holder->notification());
            ASSERT_EQ(received.size(), 1u) << daemon().log();
            if (received[0].first->type == ChangeType::containerAbandoned)
                break;
        }
    }
}
