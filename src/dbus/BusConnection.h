#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "dbus/Message.h"
#include "dbus/Slot.h"

namespace velkor::dbus {

/// An owning handle to one sd-bus connection, with the few bus operations both sides of Velkor
/// need. Failures are thrown as BusError.
///
/// Threads: an sd-bus connection is not thread-safe, and neither is anything tied to it
/// (messages and slots hold references to it). Its owner runs one event-loop thread per
/// connection (BusLoop does exactly that) and every other thread reaches the connection only
/// under the owner's lock, waking the loop when output is pending. The blocking calls below
/// (`nameOwner`, `isActivatable`, `requestName`, `addMatch`) wait for the bus driver's
/// answer; a client transport makes them before its loop starts, never from the loop thread.
class BusConnection {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    /// Connects to the bus at `address` as a bus client and waits until the bus has accepted the
    /// connection. An empty address means the system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
    static BusConnection open(const std::string& address = {});

    /// As `open`, but gives up at `deadline` (ETIMEDOUT), and meanwhile tries again, waiting a
    /// little longer each time, while the bus turns the connection away for want of room (see
    /// `isTransientRefusal`): a bus that many clients reach at once (a login storm) serves them
    /// all within their deadlines instead of failing some at once.
    static BusConnection open(const std::string& address, Deadline deadline);

    /// Whether `error` (an errno value from `open`) says that the bus had no room for one more
    /// connection just then, so that trying again shortly may succeed: ENOBUFS (the bus answered
    /// Hello with LimitsExceeded: too many connections of this user, or in all), EAGAIN (its
    /// listening socket's backlog is full), ECONNRESET and EPIPE (it dropped the connection while
    /// it was authenticating, as dbus-daemon does with the oldest when too many authenticate at
    /// once). ECONNREFUSED is not one: on a Unix socket it means that nobody listens.
    static bool isTransientRefusal(int error);

    /// Connects peer to peer over `fd`, a connected stream socket whose other end is served by a
    /// D-Bus server (velkord's direct channel), and takes the socket over, failing or not. The
    /// peer asks no proof of who we are (anonymous), and is sent no file descriptors.
    static BusConnection openPeer(int fd);

    /// Takes over a connection the caller set up itself (in tests, one over a socket pair).
    explicit BusConnection(sd_bus* bus) : bus_(bus) {}

    sd_bus* get() const { return bus_.get(); }

    /// This connection's unique name, e.g. ":1.42".
    std::string uniqueName() const;

    /// How long each of the blocking calls below waits for the bus driver's answer (sd-bus's own
    /// default is 25 seconds).
    void setCallTimeout(std::chrono::microseconds timeout);

    /// Asks the bus for the well-known `name`, without queueing for it. True when this connection
    /// owns the name afterwards, false when another connection owns it.
    bool requestName(const std::string& name);

    /// Queues `message` for sending and writes as much of it as the socket takes at once; the
    /// rest goes out when the connection is processed (BusLoop does that) or released (which
    /// waits until everything queued is written).
    void send(const Message& message);

    /// The unique name of the connection that owns `name`, or none.
    std::optional<std::string> nameOwner(const std::string& name);

    /// Whether the bus can start a service for `name` on demand.
    bool isActivatable(const std::string& name);

    /// Installs a match rule (e.g. "type='signal',interface='...'"). Matched messages are not
    /// consumed by the match: they reach whoever processes the connection (BusLoop's handler).
    /// The match lasts as long as the returned slot.
    Slot addMatch(const std::string& rule);

    /// Answers `call` with the D-Bus error `errorName` (e.g. SD_BUS_ERROR_INVALID_ARGS) and
    /// `text`, if the caller expects a reply; one-way calls get nothing.
    void replyWithError(const Message& call, const char* errorName, const std::string& text);

  private:
    struct Close {
        void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
    };
    std::unique_ptr<sd_bus, Close> bus_;
};

}  // namespace velkor::dbus
