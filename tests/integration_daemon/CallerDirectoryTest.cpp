#include <sys/socket.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "DaemonBusTesting.h"
#include "bus/CallerDirectory.h"

using namespace velkor;
using namespace velkor::test;

namespace {

/// velkord's side of a socket pair whose other side plays the bus, answering the questions it
/// is asked as the test says.
class ScriptedBus {
  public:
    ScriptedBus() : ScriptedBus(socketPair()) {}

    dbus::BusConnection& daemonSide() { return daemon_; }

    /// Pumps both sides until the bus side has received a call, and gives it.
    dbus::Message nextCall() {
        for (int turn = 0; turn < 10000; ++turn) {
            sd_bus_process(daemon_.get(), nullptr);
            sd_bus_message* raw = nullptr;
            sd_bus_process(bus_.get(), &raw);
            dbus::Message message(raw);
            if (message && message.type() == SD_BUS_MESSAGE_METHOD_CALL)
                return message;
            sd_bus_wait(bus_.get(), 1000);
        }
        throw std::runtime_error("no call reached the bus");
    }

    /// Pumps both sides until `done` holds.
    void pumpUntil(const std::function<bool()>& done) {
        for (int turn = 0; turn < 10000 && !done(); ++turn) {
            sd_bus_process(bus_.get(), nullptr);
            sd_bus_process(daemon_.get(), nullptr);
            sd_bus_wait(daemon_.get(), 1000);
        }
    }

  private:
    explicit ScriptedBus(std::pair<int, int> fds)
        : daemon_(start(fds.first, nullptr)), bus_(start(fds.second, &serverId())) {}

    static std::pair<int, int> socketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        return {fds[0], fds[1]};
    }

    static const sd_id128_t& serverId() {
        static const sd_id128_t id = [] {
            sd_id128_t random;
            sd_id128_randomize(&random);
            return random;
        }();
        return id;
    }

    static dbus::BusConnection start(int fd, const sd_id128_t* serverId) {
        sd_bus* raw = nullptr;
        sd_bus_new(&raw);
        dbus::BusConnection bus(raw);
        if (sd_bus_set_fd(raw, fd, fd) < 0 ||
            (serverId && sd_bus_set_server(raw, 1, *serverId) < 0) || sd_bus_start(raw) < 0)
            throw std::runtime_error("cannot start one side of the scripted bus");
        return bus;
    }

    dbus::BusConnection daemon_;
    dbus::BusConnection bus_;
};

}  // namespace

TEST(CallerDirectoryTest, AQuestionTheBusLeavesUnansweredIsAskedAgain) {
    ScriptedBus bus;
    std::vector<std::pair<daemon::Caller, UUID>> ready;
    daemon::CallerDirectory directory(
        bus.daemonSide(), [&](const daemon::Caller& caller, Tagged<ClientRequest> request) {
            ready.emplace_back(caller, request.tag);
        });

    const UUID tag = newId();
    directory.submit(":1.7", {tag, fetchRequest(1000, "org.example.app")});
    auto first = bus.nextCall();
    EXPECT_EQ(first.member(), "GetConnectionUnixUser");
    sd_bus_reply_method_errorf(first.get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    sd_bus_reply_method_return(bus.nextCall().get(), "u", 1000u);
    bus.pumpUntil([&] { return !ready.empty(); });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].first.clientId, ":1.7");
    EXPECT_EQ(ready[0].first.uid, 1000u);
    EXPECT_EQ(ready[0].second, tag);

    // A client the bus says has left has its requests dropped at once, and so has one whose
    // every question goes unanswered.
    directory.submit(":1.8", {newId(), fetchRequest(1000, "org.example.app")});
    sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NAME_HAS_NO_OWNER, "gone");
    directory.submit(":1.9", {newId(), fetchRequest(1000, "org.example.app")});
    for (int attempt = 0; attempt < daemon::CallerDirectory::kMaxAttempts; ++attempt)
        sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    bus.pumpUntil([&] { return directory.lookupsPending() == 0; });
    EXPECT_EQ(directory.lookupsPending(), 0u);
    EXPECT_EQ(directory.waiting(":1.8") + directory.waiting(":1.9"), 0u);
    EXPECT_EQ(ready.size(), 1u);
}
