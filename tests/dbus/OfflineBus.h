#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "dbus/BusConnection.h"
#include "dbus/Message.h"

namespace velkor::test {

/// A started sd-bus connection over one end of a socket pair that nobody reads: messages can be
/// built on it, sealed as if sent, and read back, with no bus running.
class OfflineBus {
  public:
    OfflineBus() : bus_(make(peer_)) {}
    ~OfflineBus() { close(peer_); }

    dbus::BusConnection& bus() { return bus_; }

    /// Seals `message` as sending would, so that it reads like a received one.
    void seal(const dbus::Message& message) {
        if (sd_bus_message_seal(message.get(), ++cookie_, 0) < 0)
            throw std::runtime_error("cannot seal a message");
    }

  private:
    static dbus::BusConnection make(int& peer) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        peer = fds[1];
        sd_bus* raw = nullptr;
        sd_bus_new(&raw);
        dbus::BusConnection bus(raw);
        if (sd_bus_set_fd(raw, fds[0], fds[0]) < 0 || sd_bus_start(raw) < 0)
            throw std::runtime_error("cannot start an offline bus");
        return bus;
    }

    int peer_ = -1;
    dbus::BusConnection bus_;
    std::uint64_t cookie_ = 0;
};

}  // namespace velkor::test
