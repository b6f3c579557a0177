#include <signal.h>

#include <fstream>

#include "DaemonBusTesting.h"
#include "dbus/BusError.h"
#include "dbus/MessageWriter.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::test;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// Sanitizer builds move big messages slowly (sd-bus grows its buffers step by step), and their
// runtimes keep freed memory in quarantine: there the scenarios run with a tenth of the real
// sizes and limits, and the daemon's memory is measured in the optimised build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kScale = 10;
#else
constexpr std::size_t kScale = 1;
#endif

/// Clients that try to take the daemon down for everyone, most of them under uid 65534.
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

    /// As uid 65534: creates its file in `domain`, then sets `count` keys to values of `bytes`
    /// each, one at a time; the answers, joined by "; ".
    std::string fill(const std::string& domain, int count, std::size_t bytes) {
        auto body = [&] {
            DaemonClient client(bus_.address());
            const UUID rootId = newId();
            std::string answers =
                text(client.request(createRequest(dict(rootId, {}), kNobody, domain)));
            for (std::int64_t i = 0, revision = 0; i < count; ++i) {
                // Messages of tens of megabytes take sd-bus long to receive under ThreadSanitizer.
                const std::string answer =
                    text(client.request(setting(rootId, revision, "v" + std::to_string(i),
                                                dat(std::string(bytes, 'Z')), true),
                                        std::chrono::minutes(2)));
                revision += answer.starts_with("settingsUpdated(done") ? 1 : 0;
                answers += "; " + answer;
            }
            return answers;
        };
        return asUser(kNobody, body).second;
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
            EXPECT_EQ(text(writer->request(setting(rootId, i, "v", big, i == 0))), doneAt(i + 1));
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

constexpr std::size_t kHuge = 20 * 1024 * 1024;  // past the daemon's 16 MiB limit on blobs
using Arguments = std::function<void(dbus::MessageWriter&)>;

class MalformedCallsTest : public DaemonBusTest {
  protected:
    /// A call of `member` whose arguments `write` appends: the D-Bus error it gets when it
    /// expects a reply, else the answer under the tag written first.
    std::string outcome(const char* member, const Arguments& write, bool expectReply = false,
                        const char* interface = dbus_names::kRequestInterface,
                        const char* path = dbus_names::kObjectPath) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(attacker->bus().get(), &raw, kService.c_str(),
                                                 path, interface, member),
                  0);
        dbus::Message message(raw);
        sd_bus_message_set_expect_reply(raw, expectReply ? 1 : 0);
        dbus::MessageWriter out(raw);
        if (expectReply) {
            write(out);
            return attacker->callForError(message);
        }
        const UUID tag = UUID::random();
        out.uuid(tag);
        write(out);
        attacker->sendRaw(message, tag);
        // Long: under ThreadSanitizer, receiving tens of megabytes takes sd-bus many seconds.
        return text(attacker->answer(tag, std::chrono::minutes(2)));
    }

    std::unique_ptr<DaemonClient> attacker = connect();
    std::unique_ptr<DaemonClient> victim = connect();
};

/// Change records of `count` entries: a type, then junk.
Arguments entries(int count) {
    return [count](dbus::MessageWriter& out) {
        out.openContainer('a', "{sv}");
        for (int i = 0; i < count; ++i) {
            out.openContainer('e', "sv");
            out.text(i == 0 ? "type" : "junk" + std::to_string(i));
            out.openContainer('v', "x");
            out.int64(i);
            out.closeContainer();
            out.closeContainer();
        }
        out.closeContainer();
    };
}

Arguments blob(std::vector<std::uint8_t> bytes) {
    return [bytes](dbus::MessageWriter& out) {
        out.bytes(bytes);
        out.text("org.example.huge");
        out.uint32(1000);
    };
}

/// velkord's limits on files and answers, in MiB, scaled down in sanitizer builds.
std::vector<std::string> sizeLimits(std::size_t file, std::size_t answer) {
    return {"--max-file-size", std::to_string(file * kMiB / kScale), "--max-answer-size",
            std::to_string(answer * kMiB / kScale)};
}

/// Sends a call of a member velkord does not have, worth an invalidData answer under its tag.
UUID sendUnknownCall(DaemonClient& client) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(sd_bus_message_new_method_call(
                              client.bus().get(), &raw, kService.c_str(), dbus_names::kObjectPath,
                              dbus_names::kRequestInterface, "dropSettingsWithTag"),
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
    // Values of 15 MiB, each under the limit on blobs: the second would make the file larger
    // than one answer may be (the default limits), and nothing of it is stored.
    restart(sizeLimits(24, 30));
    EXPECT_EQ(fill("org.example.big", 3, 15 * kMiB / kScale),
              "requestSucceeded; " + doneAt(1) + "; " + kInvalidData + "; " + kInvalidData);
    EXPECT_EQ(fetchedTree(connect()->request(fetchRequest(kNobody, "org.example.big"))).count(),
              1u);

    // A file stored under wider limits than today's, larger than the bus carries: fetching it is
    // refused, again and again, and the daemon serves on.
    restart(sizeLimits(60, 60));
    EXPECT_EQ(fill("org.example.old", 3, 15 * kMiB / kScale),
              "requestSucceeded; " + doneAt(1) + "; " + doneAt(2) + "; " + doneAt(3));
    restart(sizeLimits(24, 30));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(asUser(kNobody,
                         [&] {
                             return text(DaemonClient(bus_.address())
                                             .request(fetchRequest(kNobody, "org.example.old")));
                         })
                      .second,
                  "requestHasFailed(A settings file exists but has invalid data.)");
    othersAreServed();
}

TEST_F(HostileClientsTest, AClientThatFloodsAndDoesNotReadLosesOnlyItsOwnService) {
    ASSERT_EQ(fill("org.example.flood", 1, 256 * 1024), "requestSucceeded; " + doneAt(1));
    // 1500 fetches of a 256 KiB file: 375 MiB of answers it never reads, three times what the
    // bus holds for one sender before it stops reading from it.
    const auto [attacker, sent] = asUser(
        kNobody,
        [&] {
            // Stays connected, unread, until the child is killed.
            static DaemonClient client(bus_.address());
            for (int i = 0; i < 1500; ++i)
                client.send(fetchRequest(kNobody, "org.example.flood"));
            dbus::BusError::check(sd_bus_flush(client.bus().get()), "Flushing the requests");
            return std::string("sent");
        },
        true);
    ASSERT_EQ(sent, "sent");

    // Everyone else is served meanwhile, and velkord's memory stays bounded.
    auto victim = connect();
    const UUID rootId = newId();
    EXPECT_EQ(text(victim->request(createRequest(dict(rootId, {})))), "requestSucceeded");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(fetchedTree(victim->request(fetchRequest())).id, rootId);
    if (kScale == 1) {
        EXPECT_LT(peakMemory(daemon().pid()), 128 * kMiB);
    }
    kill(attacker, SIGKILL);
    waitpid(attacker, nullptr, 0);
    othersAreServed();
}

TEST_F(HostileClientsTest, AClientOnADirectChannelThatDoesNotReadIsCutOffAlone) {
    ASSERT_EQ(fill("org.example.flood", 1, 256 * 1024), "requestSucceeded; " + doneAt(1));
    // On its own socket, a client that sends and never reads: 25 MiB of answers unread, past
    // its 16 MiB budget, closes its channel. Another is killed with requests on their way.
    auto flood = [&](int fetches) {
        return asUser(
            kNobody,
            [&] {
                // Stays connected, unread, until the child is killed.
                static DaemonClient client(bus_.address(), kService, DaemonClient::Path::direct);
                for (int i = 0; i < fetches; ++i)
                    client.send(fetchRequest(kNobody, "org.example.flood"));
                dbus::BusError::check(sd_bus_flush(client.bus().get()), "Flushing the requests");
                return std::string("sent");
            },
            true);
    };
    const auto [reader, sent] = flood(100);
    ASSERT_EQ(sent, "sent");
    EXPECT_TRUE(logShows("Cut off direct channel"));
    othersAreServed();
    const auto [killed, alsoSent] = flood(20);
    ASSERT_EQ(alsoSent, "sent");
    for (pid_t child : {reader, killed}) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
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
    EXPECT_EQ(text(connect()->request(setting(rootId, changes, "v", num(1)))), doneAt(changes + 1));
    EXPECT_EQ(noticed(alone->notification())->revision, changes + 1);

    // Two connections of one user, each under its own budget, are over their user's together.
    restart({"--max-unread-size", "8M", "--max-user-unread-size", "2M"});
    auto first = connect(), second = connect();
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

TEST_F(MalformedCallsTest, BadCallsGetAnErrorOrInvalidDataAndTheDaemonServesOthersOn) {
    const UUID victimRoot = newId();
    ASSERT_EQ(text(victim->request(createRequest(dict(victimRoot, {})))), "requestSucceeded");
    const Arguments none = [](dbus::MessageWriter&) {};

    // A valid request whose caller waits for a reply gets an empty one, and its answer.
    EXPECT_EQ(outcome(
                  "setHasSubscriptionWithTag",
                  [&](dbus::MessageWriter& out) {
                      out.uuid(UUID::random());
                      out.uuid(victimRoot);
                      out.boolean(false);
                  },
                  true),
              "");
    EXPECT_EQ(text(attacker->notification()), "requestSucceeded");

    // Calls that wait for a reply: an unknown member, object or interface, wrong signatures
    // (no arguments, a tag of 3 bytes or of a megabyte where 16 belong).
    const std::string unknown = "org.freedesktop.DBus.Error.UnknownMethod";
    const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
    auto tagOf = [&](std::size_t size) -> Arguments {
        return [&, size](dbus::MessageWriter& out) {
            out.bytes(std::vector<std::uint8_t>(size, 0xAB));
            out.uuid(victimRoot);
            out.boolean(true);
        };
    };
    const std::vector<std::tuple<const char*, const char*, const char*, Arguments, std::string>>
        waiting{
            {"dropSettingsWithTag", dbus_names::kRequestInterface, dbus_names::kObjectPath, none,
             unknown},
            {"Frobnicate", "org.example.Unknown", dbus_names::kObjectPath, none, unknown},
            {"fetchSettingsWithTag", dbus_names::kRequestInterface, "/org/velkor/Other", none,
             "org.freedesktop.DBus.Error.UnknownObject"},
            {"createSettingsWithTag", dbus_names::kRequestInterface, dbus_names::kObjectPath, none,
             invalid},
            {"resolveSettingsWithTag", dbus_names::kRequestInterface, dbus_names::kObjectPath,
             tagOf(3), invalid},
            {"resolveSettingsWithTag", dbus_names::kRequestInterface, dbus_names::kObjectPath,
             tagOf(1024 * 1024), invalid},
            {"Get", "org.freedesktop.DBus.Properties", dbus_names::kObjectPath, none, invalid},
        };
    for (const auto& [member, interface, path, arguments, error] : waiting)
        EXPECT_EQ(outcome(member, arguments, true, interface, path), error) << member;

    // One-way: an unknown member, a wrong signature, garbage instead of a blob, a blob past the
    // limit; change records without an id, with 100,000 keys, with a value past the limit.
    const std::vector<std::pair<const char*, Arguments>> oneWay{
        {"dropSettingsWithTag", none},
        {"createSettingsWithTag", [](dbus::MessageWriter& out) { out.text("x"); }},
        {"createSettingsWithTag",
         blob({0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52, 0xFF, 0x00, 0x13})},
        {"createSettingsWithTag", blob(std::vector<std::uint8_t>(kHuge, 0x01))},
        {"updateSettingsWithTag", entries(1)},
        {"updateSettingsWithTag", entries(100000)},
        {"updateSettingsWithTag",
         [&](dbus::MessageWriter& out) {
             out.record(VKChangeNotification(ChangeType::childInserted, victimRoot, 0, 0, 0, "big",
                                             std::vector<std::uint8_t>(kHuge, 0x02)));
         }},
    };
    for (const auto& [member, arguments] : oneWay)
        EXPECT_EQ(outcome(member, arguments), kInvalidData) << member;

    // A client that keeps sending garbage does not flood the journal: ten lines a minute, with
    // its name and uid. (A client of its own, whose uid is known: the calls above may have taken
    // over a minute in a sanitizer build, and lines of the next minute would count.)
    auto flooder = connect();
    ASSERT_EQ(text(flooder->request(fetchRequest(1000, "org.example.none"))), kNoAccess);
    std::vector<UUID> tags;
    for (int i = 0; i < 50; ++i)
        tags.push_back(sendUnknownCall(*flooder));
    for (const auto& tag : tags)
        EXPECT_EQ(text(flooder->answer(tag)), kInvalidData);
    const std::string log = daemon().log();
    const std::string line = "Refused a call from " + flooder->uniqueName() + " (uid ";
    std::size_t lines = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_NE(log.find(line + "0)"), std::string::npos);

    // Nothing of it reached the store, and others are served on.
    auto tree = fetchedTree(victim->request(fetchRequest()));
    EXPECT_EQ(std::tuple(tree.count(), tree.revision), std::tuple(0u, 0));
    EXPECT_EQ(text(victim->request(fetchRequest(1000, "org.example.huge"))), kNoAccess);
}
