#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "bus/ServiceLimits.h"
#include "core/Outcome.h"
#include "dbus/BusConnection.h"
#include "dbus/Slot.h"
#include "internals/ServerResponse.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// Sends answers and notifications as signals addressed to one client's unique name, so that no
/// other connection on the bus receives them, and keeps account of what has not been read yet.
///
/// The bus gives a sender no word of a receiver that stops reading: it queues the messages for
/// that receiver, charges them to the sender, and once a sender has too much queued (127 MiB on a
/// default dbus-daemon) stops reading from it, which would freeze velkord for every client. So
/// velkord keeps two accounts:
/// - its own queue: bytes handed to sd-bus that the bus has not taken yet (sd-bus keeps them in a
///   queue whose draining costs time in its length, so it is kept short: `congested`);
/// - per client, the bytes sent that the client has not been seen to read. Once a client has
///   `kPingAfterBytes` unread, it is sent an `org.freedesktop.DBus.Peer.Ping`; every D-Bus
///   library answers it when it reads it, which is after it has read every message sent before,
///   so the reply settles those bytes. A client past `maxUnreadBytes` is `overBudget`.
///
/// A client on a direct channel (`addPeer`) is sent its answers on its own connection, with no
/// destination, and pinged there; its account works the same way, but over budget it is cut off
/// (`onCutOff`) rather than kept waiting, since nobody else shares its socket.
class ResponseSender {
  public:
    /// Told of a client that has been seen to read and is within its budget.
    using ReadAgain = std::function<void(const std::string& client)>;
    /// Told of a client on a direct channel that has gone over its budget.
    using CutOff = std::function<void(const std::string& client)>;

    ResponseSender(dbus::BusConnection& bus, const ServiceLimits& limits)
        : bus_(bus), limits_(limits) {}

    void onReadAgain(ReadAgain readAgain) { readAgain_ = std::move(readAgain); }
    void onCutOff(CutOff cutOff) { cutOff_ = std::move(cutOff); }

    /// Sends what is for `client` on `peer`, its direct channel, which lives until `forget`.
    void addPeer(const std::string& client, dbus::BusConnection& peer);

    /// Sends `response` under `tag` to `destination`. A failure (a connection that has closed, a
    /// queue that is full) is logged: one client's trouble does not stop the others' answers.
    void send(const std::string& destination, const UUID& tag, const ServerResponse& response);

    /// Whether velkord's own queue holds `maxQueuedBytes` or more.
    bool congested();
    /// Records the uid of `client`, whose unread bytes then count for that user as well.
    void setUser(const std::string& client, std::uint32_t uid);
    /// Whether `client` has more than `maxUnreadBytes` unread, or `kPingAfterBytes` while its
    /// user has more than `maxUserUnreadBytes` unread.
    bool overBudget(const std::string& client) const;
    /// Forgets a client that has left the bus.
    void forget(const std::string& client);

  private:
    struct Client {
        ResponseSender* sender;
        std::string name;
        std::optional<std::uint32_t> uid;
        std::size_t unread = 0;
        /// The unread bytes the ping in flight settles.
        std::size_t pinged = 0;
        dbus::Slot ping;
        /// The client's direct channel; none on the bus.
        dbus::BusConnection* peer = nullptr;
    };

    Client& client(const std::string& name);
    bool overBudget(const Client& client) const;
    void account(Client& client, std::size_t bytes);
    void ping(Client& client);
    static int onPong(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void ponged(Client& client, sd_bus_message* reply);

    dbus::BusConnection& bus_;
    const ServiceLimits& limits_;
    ReadAgain readAgain_;
    CutOff cutOff_;
    std::unordered_map<std::string, std::unique_ptr<Client>> clients_;
    std::unordered_map<std::uint32_t, std::size_t> userUnread_;
    /// Sizes of the messages handed to sd-bus, oldest first, while it may still hold them.
    std::deque<std::size_t> queued_;
    std::size_t queuedBytes_ = 0;
    bool pingRefused_ = false;
};

}  // namespace velkor::daemon
