#include <sys/socket.h>

#include <stdexcept>
#include <unordered_set>

#include "DaemonBusTesting.h"
#include "bus/CallerDirectory.h"
#include "bus/RequestBatch.h"
#include "core/ChangeRecords.h"
#include "support/LogCapture.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class ClientsTest : public DaemonBusTest {
  protected:
    /// velkord's parts that batch requests and send what they come to, on the test's bus.
    struct Batching {
        Batching(const std::string& busAddress, const std::string& storePath)
            : bus(dbus::BusConnection::open(busAddress)), store(storePath) {}

        daemon::EventLoop loop;
        dbus::BusConnection bus;
        daemon::SettingsStore store;
        daemon::ServiceLimits limits;
        daemon::ResponseSender sender{bus, loop, limits};
        daemon::RequestBatch batch{loop, store, sender, limits};
    };

    /// Runs `test` with a `Batching` of its own, on a thread of its own: velkord's loop blocks
    /// the stop signals of the thread that makes it, which the processes later tests start
    /// would inherit.
    void withBatching(const std::function<void(Batching&)>& test) {
        std::thread([&] {
            Batching parts(bus_.address(), dir_.file("batch.db"));
            test(parts);
        }).join();
    }
};

/// velkord's side of a socket pair whose other side plays the bus, answering the questions it
/// is asked as the test says.
struct ScriptedBus {
    ScriptedBus() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        sd_id128_t id;
        sd_id128_randomize(&id);
        for (auto [end, fd, server] : {std::tuple{&daemon, fds[0], false}, {&bus, fds[1], true}}) {
            sd_bus* raw = nullptr;
            sd_bus_new(&raw);
            *end = dbus::BusConnection(raw);
            if (sd_bus_set_fd(raw, fd, fd) < 0 || (server && sd_bus_set_server(raw, 1, id) < 0) ||
                sd_bus_start(raw) < 0)
                throw std::runtime_error("cannot start one side of the scripted bus");
        }
    }

    /// Pumps both sides until the bus side has received a call, and gives it.
    dbus::Message nextCall() {
        for (int turn = 0; turn < 10000; ++turn) {
            sd_bus_process(daemon.get(), nullptr);
            sd_bus_message* raw = nullptr;
            sd_bus_process(bus.get(), &raw);
            dbus::Message message(raw);
            if (message && message.type() == SD_BUS_MESSAGE_METHOD_CALL)
                return message;
            sd_bus_wait(bus.get(), 1000);
        }
        throw std::runtime_error("no call reached the bus");
    }
    /// Pumps both sides until `done` holds.
    void pumpUntil(const std::function<bool()>& done) {
        for (int turn = 0; turn < 10000 && !done(); ++turn) {
            sd_bus_process(bus.get(), nullptr);
            sd_bus_process(daemon.get(), nullptr);
            sd_bus_wait(daemon.get(), 1000);
        }
    }

    dbus::BusConnection daemon{nullptr}, bus{nullptr};
};

}  // namespace

TEST_F(ClientsTest, ChangesReachExactlyTheOtherHoldersInOrder) {
    restart({"--log-level", "debug"});
    auto writer = connect(), holder = connect(), leaver = connect(), bystander = connect();
    // The bystander would see every answer and notice on the bus, were they broadcast.
    auto everything =
        bystander->bus().addMatch("type='signal',interface='org.velkor.SettingsResponseService'");
    const std::string leaverName = leaver->uniqueName();
    const UUID rootId = create(*writer);
    for (auto* client : {holder.get(), leaver.get(), leaver.get()})
        ASSERT_EQ(fetched(client->request(fetchRequest())), daemonBlob(dict(rootId, {}), rootId));

    // A stream of changes, sent without waiting: each is made against the revision the one
    // before it leads to.
    constexpr int kChanges = 25;
    std::vector<UUID> tags;
    for (int i = 0; i < kChanges; ++i)
        tags.push_back(writer->send(setting(rootId, i, "k" + std::to_string(i), num(i), true)));
    for (int i = 0; i < kChanges; ++i)
        EXPECT_EQ(text(writer->answer(tags[i])), doneAt(i + 1));
    // Each notification has a tag of its own, which no request used.
    std::unordered_set<UUID> noticeTags(tags.begin(), tags.end());
    for (auto* receiver : {holder.get(), leaver.get()}) {
        for (int i = 0; i < kChanges; ++i) {
            auto notice = receiver->notification();
            EXPECT_TRUE(notice && noticeTags.insert(notice->tag).second);
            const auto r = noticed(notice);
            EXPECT_EQ(std::tuple(r->type, r->id, r->key, r->revision, r->data),
                      std::tuple(ChangeType::childInserted, rootId, "k" + std::to_string(i), i + 1,
                                 daemonBlob(num(i))));
        }
    }

    // A client that leaves loses its holdings; the uid of each client was asked once.
    leaver.reset();
    EXPECT_TRUE(logShows("Client " + leaverName + " has gone; its holdings are dropped."));
    EXPECT_LE(occurrences(daemon().log(), "Client " + leaverName + " runs as uid"), 1u)
        << "the uid was asked more than once";

    // A holder's change goes to the writer, not back to itself.
    EXPECT_EQ(text(holder->request(setting(rootId, kChanges, "k0", num(-1)))),
              doneAt(kChanges + 1));
    EXPECT_EQ(noticed(writer->notification())->key, "k0");
    // Signals to one client keep their order, so once a later answer has arrived, any notice
    // sent before it would have too.
    for (auto* client : {writer.get(), holder.get(), bystander.get()}) {
        EXPECT_EQ(text(client->request(ClientRequest::SetHasSubscription{rootId, false})),
                  "requestSucceeded");
        EXPECT_EQ(text(client->notification(0ms)), "nothing");
    }
    // Every answer went to its sender alone, under the request's tag.
    EXPECT_EQ(bystander->signalsReceived(), 1u);
    EXPECT_EQ(text(writer->request(ClientRequest::DeleteSettings{"org.example.app", 1000})),
              "settingsDeleted(rootId=" + rootId.description() + ")");
    EXPECT_EQ(noticed(holder->notification())->type, ChangeType::settingsDeleted);
}

TEST(CallerDirectoryTest, AQuestionTheBusLeavesUnansweredIsAskedAgain) {
    ScriptedBus bus;
    std::vector<std::pair<daemon::Caller, UUID>> ready;
    std::vector<UUID> refused;
    daemon::CallerDirectory directory(
        bus.daemon,
        [&](const daemon::Caller& caller, Tagged<ClientRequest> request) {
            ready.emplace_back(caller, request.tag);
        },
        [&](const std::string&, const UUID& tag) {
            // A refusal held back comes after the requests that waited before it.
            EXPECT_EQ(ready.size(), 1u);
            refused.push_back(tag);
        });

    const UUID tag = newId(), refusedTag = newId();
    EXPECT_FALSE(directory.holdRefusal(":1.7", refusedTag));  // nothing waits yet
    directory.submit(":1.7", {tag, fetchRequest()});
    EXPECT_TRUE(directory.holdRefusal(":1.7", refusedTag));
    auto first = bus.nextCall();
    EXPECT_EQ(first.member(), "GetConnectionUnixUser");
    sd_bus_reply_method_errorf(first.get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    sd_bus_reply_method_return(bus.nextCall().get(), "u", 1000u);
    bus.pumpUntil([&] { return !ready.empty(); });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(std::tuple(ready[0].first.clientId, ready[0].first.uid, ready[0].second),
              std::tuple(":1.7", 1000u, tag));
    EXPECT_EQ(refused, std::vector<UUID>{refusedTag});

    // A client the bus says has left has its requests dropped at once, and so has one whose
    // every question goes unanswered.
    directory.submit(":1.8", {newId(), fetchRequest()});
    sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NAME_HAS_NO_OWNER, "gone");
    directory.submit(":1.9", {newId(), fetchRequest()});
    for (int attempt = 0; attempt < daemon::CallerDirectory::kMaxAttempts; ++attempt)
        sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    // One that leaves while its question is open is forgotten with it.
    directory.submit(":1.10", {newId(), fetchRequest()});
    bus.nextCall();
    EXPECT_TRUE(directory.forget(":1.10"));
    bus.pumpUntil([&] { return directory.lookupsPending() == 0; });
    EXPECT_EQ(directory.lookupsPending() + directory.waiting(":1.8") + directory.waiting(":1.9"),
              0u);
    EXPECT_EQ(ready.size(), 1u);
}

TEST_F(ClientsTest, ABatchTakesTurnsByUserBeforeClient) {
    withBatching([](Batching& parts) {
        auto& batch = parts.batch;
        auto& limits = parts.limits;
        auto create = [&](const std::string& client, std::uint32_t uid, const std::string& domain) {
            batch.add({client, uid}, {newId(), createRequest(dict(newId(), {}), uid, domain)});
        };
        // One user with 63 connections, each with two requests, and another with one
        // connection and ten, all waiting while the bus is congested: a batch of 64 takes turns
        // between the users first, so the second user's ten all go in the first batch, not one.
        limits.maxQueuedBytes = 0;
        for (int c = 0; c < 63; ++c) {
            for (int i = 0; i < 2; ++i)
                create(":1." + std::to_string(c), 1000,
                       "org.example.a" + std::to_string(2 * c + i));
        }
        for (int i = 0; i < 10; ++i)
            create(":2.0", 1001, "org.example.b" + std::to_string(i));
        ASSERT_EQ(batch.waiting(":2.0"), 10u);
        limits.maxQueuedBytes = daemon::ServiceLimits{}.maxQueuedBytes;
        batch.flush();
        EXPECT_EQ(batch.waiting(":2.0"), 0u);
        std::size_t firstUsersLeft = 0;
        for (int c = 0; c < 63; ++c)
            firstUsersLeft += batch.waiting(":1." + std::to_string(c));
        EXPECT_EQ(firstUsersLeft, 126u - (daemon::RequestBatch::kMaxRequests - 10));

        // A request that needs more than its slice of a shared batch is stopped and put back
        // behind the others, then applied in a batch of its own: a small request that came after
        // it waits for one slice, not for all of it.
        batch.flushAll();
        auto wide = dict(newId(), {});
        for (int i = 0; i < 2047; ++i)
            wide.entries.emplace_back(std::to_string(i), dict(newId(), {}));
        batch.add({":3.0", 1002}, {newId(), createRequest(wide, 1002, "org.example.wide")});
        create(":3.1", 1002, "org.example.small");
        batch.flush();
        batch.flush();
        EXPECT_EQ(std::pair(batch.waiting(":3.0"), batch.waiting(":3.1")), std::pair(1ul, 0ul));
        batch.flush();
        EXPECT_EQ(batch.waiting(":3.0"), 0u);
    });
}

// Notices come to the batch from other threads (a fleet's watch, the store worker) and may name
// a client that has left meanwhile. It is sent nothing: that would open the sender's books on it
// again, for good. The others still get theirs.
TEST_F(ClientsTest, NoticesForAClientThatLeftAreNotSent) {
    withBatching([](Batching& parts) {
        auto& batch = parts.batch;
        auto& sender = parts.sender;
        for (const char* client : {":1.1", ":1.2"})
            batch.add({client, 1000},
                      {newId(), createRequest(dict(newId(), {}), 1000,
                                              std::string("org.example") + client)});
        batch.flushAll();
        batch.clientLeft(":1.1");
        sender.forget(":1.1");
        const auto stayed = sender.unread(":1.2");

        ServerResponse::NoteChanges notes;
        notes.changeNotifications.push_back(
            daemon::ChangeRecords::make(ChangeType::updateRevision, newId(), 2));
        notes.changePaths.emplace_back();
        batch.deliver({{":1.1", notes}, {":1.2", notes}});
        EXPECT_EQ(sender.unread(":1.1"), 0u);
        EXPECT_GT(sender.unread(":1.2"), stayed);
    });
}

TEST(ResponseSenderTest, WhatTheBusHasNotReadYetIsCongestion) {
    std::thread([] {
        ScriptedBus scripted;
        scripted.pumpUntil([&] { return sd_bus_is_ready(scripted.daemon.get()) > 0; });
        daemon::EventLoop loop;
        daemon::ServiceLimits limits;
        limits.maxQueuedBytes = 64 * 1024;
        daemon::ResponseSender sender(scripted.daemon, loop, limits);
        EXPECT_FALSE(sender.congested());
        // 100 KiB of answers that sd-bus has written out at once: they wait in the socket's
        // buffer, which the bus has not read, and hold up the next batch all the same.
        sender.send(":1.5", newId(),
                    ServerResponse::SettingsFetched{Blob(std::vector<std::uint8_t>(100 * 1024))});
        std::uint64_t queued = 0;
        ASSERT_GE(sd_bus_get_n_queued_write(scripted.daemon.get(), &queued), 0);
        ASSERT_EQ(queued, 0u);
        EXPECT_TRUE(sender.congested());
        // Once the bus has read them, they no longer count.
        scripted.pumpUntil([&] { return !sender.congested(); });
        EXPECT_FALSE(sender.congested());
    }).join();
}

// A client that hangs up its direct channel while answers are on their way is leaving, not a
// fault: velkord must not log an error for each, or any user could flood its log with them.
TEST(ResponseSenderTest, AnswersToADirectChannelThatHungUpAreNoError) {
    std::thread([] {
        ScriptedBus bus, channel;
        for (auto* scripted : {&bus, &channel})
            scripted->pumpUntil([&] { return sd_bus_is_ready(scripted->daemon.get()) > 0; });
        daemon::EventLoop loop;
        daemon::ResponseSender sender(bus.daemon, loop, daemon::ServiceLimits{});
        sender.addPeer(":1.7/1", channel.daemon, sd_bus_get_fd(channel.daemon.get()));
        LogCapture logs;
        channel.bus = dbus::BusConnection(nullptr);
        for (int i = 0; i < 3; ++i)
            sender.send(":1.7/1", newId(), ServerResponse::RequestSucceeded{});
        for (const auto& line : logs->lines())
            EXPECT_NE(line.level, LogLevel::error) << line.message;
    }).join();
}

TEST(ForkedClientTest, AChildProcessMakesIdsOfItsOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "switching users needs root";
    const UUID parent = newId();
    const std::string child = asUser(kNobody, [] { return newId().description(); }).second;
    EXPECT_NE(child, newId().description()) << "the child made its parent's next id";
    EXPECT_NE(child, parent.description());
}
