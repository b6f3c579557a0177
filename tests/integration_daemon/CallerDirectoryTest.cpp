#include <sys/socket.h>

#include <array>
#include <stdexcept>
#include <vector>

#include "DaemonBusTesting.h"
#include "bus/CallerDirectory.h"

using namespace velkor;
using namespace velkor::test;

namespace {

/// One side of a socket pair: the daemon's, or (`server`) the bus's.
dbus::BusConnection side(int fd, bool server) {
    static const sd_id128_t id = [] {
        sd_id128_t random;
        sd_id128_randomize(&random);
        return random;
    }();
    sd_bus* raw = nullptr;
    sd_bus_new(&raw);
    dbus::BusConnection bus(raw);
    if (sd_bus_set_fd(raw, fd, fd) < 0 || (server && sd_bus_set_server(raw, 1, id) < 0) ||
        sd_bus_start(raw) < 0)
        throw std::runtime_error("cannot start one side of the scripted bus");
    return bus;
}

std::array<int, 2> socketPair() {
    std::array<int, 2> fds{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0)
        throw std::runtime_error("socketpair failed");
    return fds;
}

/// velkord's side of a socket pair whose other side plays the bus, answering the questions it
/// is asked as the test says.
struct ScriptedBus {
    std::array<int, 2> fds = socketPair();
    dbus::BusConnection daemon = side(fds[0], false);
    dbus::BusConnection bus = side(fds[1], true);

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
    template <typename F>
    void pumpUntil(F done) {
        for (int turn = 0; turn < 10000 && !done(); ++turn) {
            sd_bus_process(bus.get(), nullptr);
            sd_bus_process(daemon.get(), nullptr);
            sd_bus_wait(daemon.get(), 1000);
        }
    }
};

}  // namespace

TEST(CallerDirectoryTest, AQuestionTheBusLeavesUnansweredIsAskedAgain) {
    ScriptedBus bus;
    std::vector<std::pair<daemon::Caller, UUID>> ready;
    daemon::CallerDirectory directory(
        bus.daemon, [&](const daemon::Caller& caller, Tagged<ClientRequest> request) {
            ready.emplace_back(caller, request.tag);
        });

    const UUID tag = newId();
    directory.submit(":1.7", {tag, fetchRequest()});
    auto first = bus.nextCall();
    EXPECT_EQ(first.member(), "GetConnectionUnixUser");
    sd_bus_reply_method_errorf(first.get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    sd_bus_reply_method_return(bus.nextCall().get(), "u", 1000u);
    bus.pumpUntil([&] { return !ready.empty(); });
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(std::tuple(ready[0].first.clientId, ready[0].first.uid, ready[0].second),
              std::tuple(":1.7", 1000u, tag));

    // A client the bus says has left has its requests dropped at once, and so has one whose
    // every question goes unanswered.
    directory.submit(":1.8", {newId(), fetchRequest()});
    sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NAME_HAS_NO_OWNER, "gone");
    directory.submit(":1.9", {newId(), fetchRequest()});
    for (int attempt = 0; attempt < daemon::CallerDirectory::kMaxAttempts; ++attempt)
        sd_bus_reply_method_errorf(bus.nextCall().get(), SD_BUS_ERROR_NO_REPLY, "timed out");
    bus.pumpUntil([&] { return directory.lookupsPending() == 0; });
    EXPECT_EQ(directory.lookupsPending(), 0u);
    EXPECT_EQ(directory.waiting(":1.8") + directory.waiting(":1.9"), 0u);
    EXPECT_EQ(ready.size(), 1u);
}
