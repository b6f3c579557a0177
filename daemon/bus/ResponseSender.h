#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "bus/EventLoop.h"
#include "bus/ServiceLimits.h"
#include "core/Outcome.h"
#include "dbus/BusConnection.h"
#include "dbus/Slot.h"
#include "internals/ServerResponse.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// Sends answers and notifications as signals addressed to one client's unique name, so that no
/// other connection on the bus receives them, and keeps account of what each client has not
/// read yet.
///
/// The bus gives a sender no word of a receiver that stops reading: it queues the messages for
/// that receiver, charges them to the sender, and once a sender has too much queued (127 MiB on a
/// default dbus-daemon) stops reading from it, which would freeze velkord for every client. So
/// velkord keeps two accounts:
/// - its own queue: bytes handed to sd-bus that the bus has not taken yet (sd-bus keeps them in a
///   queue whose draining costs time in its length, so it is kept short: `congested`);
/// - per client, the bytes sent that the client has not read yet. On a direct channel (`addPeer`)
///   the kernel tells exactly: what sd-bus still queues for the client's socket plus what the
///   socket holds unread (SIOCOUTQ), so nothing the client sends can settle it. On the bus, the
///   client is sent an `org.freedesktop.DBus.Peer.Ping` once it has `kPingAfterBytes` unread
///   or lags behind; every D-Bus library answers it when it reads it, after every message sent
///   before, and the bus lets only the pinged client answer, so the reply settles those bytes.
///
/// Replies that sd-bus sends on velkord's behalf (Introspect, Peer, Properties, errors, the empty
/// replies of requests that expect one) are charged to their asker as well (`serve`), and a
/// client that lags behind has such calls dropped unanswered: only its requests may wait.
/// Signals of clients, which velkord does not serve, are dropped before sd-bus dispatches them;
/// a direct channel that sends nothing else for long is cut off.
///
/// A client `lagging` has `maxUnreadBytes` unread, or anything unread while its user has
/// `maxUserUnreadBytes`; on the bus also one that has, or whose user has, anything unread
/// while the clients on the bus together have `kMaxBusUnreadBytes`. Lag alone
/// costs a client nothing but waiting: `onReadAgain` tells when it no longer lags. A client that
/// lags and reads nothing of what it has unread for `maxStallTime` is `onStalled`.
///
/// Used on the event loop's thread only.
class ResponseSender {
  public:
    /// Told of a client that lagged behind and no longer does.
    using ReadAgain = std::function<void(const std::string& client)>;
    /// Told of a client that lags behind and has read nothing for `maxStallTime`; told again
    /// each period it goes on so, until it reads or is forgotten.
    using Stalled = std::function<void(const std::string& client, bool onDirectChannel)>;

    ResponseSender(dbus::BusConnection& bus, EventLoop& loop, const ServiceLimits& limits);
    ~ResponseSender();
    ResponseSender(const ResponseSender&) = delete;
    ResponseSender& operator=(const ResponseSender&) = delete;

    void onReadAgain(ReadAgain readAgain) { readAgain_ = std::move(readAgain); }
    void onStalled(Stalled stalled) { stalled_ = std::move(stalled); }

    /// Charges the replies that sd-bus sends on `bus` to their askers, and drops the calls of
    /// askers that lag behind, except those of `requestInterface`, which wait their turn. `client`
    /// names the one peer of a direct channel (which `forget` stops serving); empty for the bus.
    void serve(dbus::BusConnection& bus, const std::string& client, const char* requestInterface);

    /// Sends what is for `client` on `peer`, its direct channel, which lives until `forget` and
    /// writes to `socket`.
    void addPeer(const std::string& client, dbus::BusConnection& peer, int socket);

    /// Sends `response` under `tag` to `destination`. A failure (a connection that has closed, a
    /// queue that is full) is logged: one client's trouble does not stop the others' answers.
    void send(const std::string& destination, const UUID& tag, const ServerResponse& response);

    /// Whether velkord's own queue holds `maxQueuedBytes` or more.
    bool congested();
    /// Records the uid of `client`, whose unread bytes then count for that user as well.
    void setUser(const std::string& client, std::uint32_t uid);
    /// Whether `client` lags behind (see the class comment).
    bool lagging(const std::string& client);
    /// The bytes `client` has not read yet, as last seen.
    std::size_t unread(const std::string& client) const;
    /// Forgets a client that has left the bus.
    void forget(const std::string& client);

  private:
    using Clock = std::chrono::steady_clock;
    struct Filter;
    struct Client {
        ResponseSender* sender;
        std::string name;
        std::optional<std::uint32_t> uid;
        std::size_t unread = 0;
        /// When it was last seen to read, or to have nothing unread.
        Clock::time_point progress;
        bool lagging = false;
        /// Messages it sent in a row that velkord does not serve (signals).
        std::size_t unserved = 0;
        /// On the bus: the unread bytes the ping in flight settles.
        std::size_t pinged = 0;
        dbus::Slot ping;
        /// The client's direct channel; none on the bus.
        dbus::BusConnection* peer = nullptr;
        int socket = -1;
        /// On a direct channel: sizes of what sd-bus may still queue for it, oldest first, and
        /// what its socket held unread at the last look.
        std::deque<std::size_t> queued;
        std::size_t queuedBytes = 0;
        std::size_t socketBytes = 0;
        std::unique_ptr<Filter> filter;
    };
    struct User {
        std::size_t unread = 0;
        std::unordered_set<Client*> clients;
        /// When its clients' sockets were last looked at together.
        Clock::time_point refreshed;
    };

    Client& client(const std::string& name);
    void setUnread(Client& client, std::size_t unread);
    /// Adds `bytes` sent (or to be sent by sd-bus) to `client`.
    void account(Client& client, std::size_t bytes);
    /// Looks at a direct channel's socket: what it still holds unread, and whether the client
    /// has read some of it since the last look.
    void measure(Client& client);
    /// Looks at the sockets of every direct channel of the user of `client`, so that what they
    /// have read since counts before the user is found over its limit.
    void refreshUser(Client& client);
    bool overLimits(const Client& client) const;
    void queue(Client& client, std::size_t bytes);
    void armLagCheck();
    /// Updates whether `client` lags; gives the answer.
    bool checkLag(Client& client);
    void lookAtLaggards();
    static int onLagCheck(sd_event_source* source, std::uint64_t usec, void* userdata);
    static int onIncoming(sd_bus_message* message, void* userdata, sd_bus_error* error);
    void ping(Client& client);
    static int onPong(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void ponged(Client& client, sd_bus_message* reply);

    dbus::BusConnection& bus_;
    EventLoop& loop_;
    const ServiceLimits& limits_;
    ReadAgain readAgain_;
    Stalled stalled_;
    std::unordered_map<std::string, std::unique_ptr<Client>> clients_;
    std::unordered_map<std::uint32_t, User> users_;
    /// What the clients on the bus have unread together (see `kMaxBusUnreadBytes`).
    std::size_t busUnread_ = 0;
    /// Clients that lag behind, looked at every `kLagCheckPeriod` while there are any.
    std::unordered_set<std::string> laggards_;
    EventSourcePtr lagCheck_;
    std::unique_ptr<Filter> busFilter_;
    /// Sizes of the messages handed to sd-bus, oldest first, while it may still hold them.
    std::deque<std::size_t> queued_;
    std::size_t queuedBytes_ = 0;
    bool pingRefused_ = false;
};

}  // namespace velkor::daemon
