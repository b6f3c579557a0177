#include "bus/ResponseSender.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "basalt/QZLogger.h"
#include "core/LogThrottle.h"
#include "dbus/BusError.h"
#include "dbus/Message.h"
#include "dbus/ResponseCodec.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.ResponseSender");

/// What sd-bus's reply to one call costs its asker: velkord's introspection data is the largest
/// reply; any other (an empty return, an error, a property, a ping's) is small.
constexpr std::size_t kIntrospectionBytes = 8 * 1024;
constexpr std::size_t kReplyBytes = 256;
/// Messages velkord does not serve that a channel may send in a row before it is cut off.
constexpr std::size_t kMaxUnserved = 100'000;

/// Whether a send failed because the other end has closed (sd-bus reports every kind of
/// disconnection as ECONNRESET, and ENOTCONN once it has noticed).
bool hungUp(int error) {
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}

std::uint64_t microseconds(std::chrono::steady_clock::duration d) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

}  // namespace

/// Watches what arrives on one connection before sd-bus dispatches it.
struct ResponseSender::Filter {
    ResponseSender* sender;
    std::string client;  ///< a direct channel's one peer; empty on the bus
    const char* requestInterface;
    dbus::Slot slot;
};

ResponseSender::ResponseSender(dbus::BusConnection& bus, EventLoop& loop,
                               const ServiceLimits& limits)
    : bus_(bus), loop_(loop), limits_(limits) {}

ResponseSender::~ResponseSender() = default;

void ResponseSender::serve(dbus::BusConnection& bus, const std::string& name,
                           const char* requestInterface) {
    auto filter = std::make_unique<Filter>(Filter{this, name, requestInterface, {}});
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(sd_bus_add_filter(bus.get(), &raw, onIncoming, filter.get()),
                          "Watching incoming calls");
    filter->slot = dbus::Slot(raw);
    if (name.empty())
        busFilter_ = std::move(filter);
    else
        client(name).filter = std::move(filter);
}

int ResponseSender::onIncoming(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const auto& filter = *static_cast<Filter*>(userdata);
    const char* sender =
        filter.client.empty() ? sd_bus_message_get_sender(message) : filter.client.c_str();
    const char* interface = sd_bus_message_get_interface(message);
    if (!sender || std::strcmp(sender, "org.freedesktop.DBus") == 0 ||
        (interface && std::strcmp(interface, "org.freedesktop.DBus.Local") == 0))
        return 0;
    try {
        ResponseSender& self = *filter.sender;
        if (sd_bus_message_is_signal(message, nullptr, nullptr)) {
            // velkord serves no signal of its clients: dropped here, at the least cost, and
            // counted against a sender of nothing else.
            Client& c = self.client(sender);
            if (++c.unserved == kMaxUnserved && c.peer) {
                self.laggards_.insert(c.name);
                self.armLagCheck();
            }
            return 1;
        }
        if (!sd_bus_message_is_method_call(message, nullptr, nullptr))
            return 0;
        Client& c = self.client(sender);
        const bool request = interface && std::strcmp(interface, filter.requestInterface) == 0;
        if (request)
            c.unserved = 0;
        if (sd_bus_message_get_expect_reply(message) <= 0)
            return 0;
        // A request waits its turn in its client's queue; anything else would be answered now
        // and pile up unread.
        if (!request && self.checkLag(c)) {
            log.debug("Dropped a call of %@ from %@, which lags behind.",
                      sd_bus_message_get_member(message), c.name);
            return 1;
        }
        const bool introspection =
            interface && std::strcmp(interface, "org.freedesktop.DBus.Introspectable") == 0;
        const std::size_t bytes = introspection ? kIntrospectionBytes : kReplyBytes;
        self.queue(c, bytes);
        self.account(c, bytes);
    } catch (const std::exception& e) {
        log.error("Accounting for a call failed: %@", e.what());
    }
    return 0;
}

void ResponseSender::send(const std::string& destination, const UUID& tag,
                          const ServerResponse& response) {
    const auto bytes = messageBytes(response);
    Client& c = client(destination);
    try {
        if (!c.peer)
            bus_.send(dbus::ResponseCodec::build(bus_, destination, tag, response));
        else if (sd_bus_is_open(c.peer->get()) > 0)
            c.peer->send(dbus::ResponseCodec::build(*c.peer, {}, tag, response));
        else
            return;  // a channel that has closed: nobody is left to answer
    } catch (const dbus::BusError& e) {
        // A direct channel whose client has hung up fails until velkord reads its end; that is
        // a client leaving, not a fault, and a user could flood the log with it.
        if (c.peer && hungUp(e.error()))
            log.debug("Can't send %@ to %@, which has hung up.", response, destination);
        else
            log.error("Can't send %@ to %@: %@", response, destination, e.what());
        return;
    }
    queue(c, bytes);
    account(c, bytes);
}

void ResponseSender::queue(Client& c, std::size_t bytes) {
    if (c.peer) {
        c.queued.push_back(bytes);
        c.queuedBytes += bytes;
    } else {
        queued_.push_back(bytes);
        queuedBytes_ += bytes;
    }
}

bool ResponseSender::congested() {
    std::uint64_t waiting = 0;
    if (sd_bus_get_n_queued_write(bus_.get(), &waiting) < 0)
        waiting = 0;
    // sd-bus writes its queue in order: what it no longer holds are the oldest messages. Pings
    // and the uid questions also pass through it, so this errs on the side of more queued.
    while (queued_.size() > waiting) {
        queuedBytes_ -= queued_.front();
        queued_.pop_front();
    }
    // What the bus has not read yet of what sd-bus wrote counts too: the socket's buffer may
    // hold megabytes.
    int socket = 0;
    const int fd = sd_bus_get_fd(bus_.get());
    if (fd < 0 || ioctl(fd, SIOCOUTQ, &socket) < 0 || socket < 0)
        socket = 0;
    return queuedBytes_ + static_cast<std::size_t>(socket) >= limits_.maxQueuedBytes;
}

ResponseSender::Client& ResponseSender::client(const std::string& name) {
    auto& slot = clients_[name];
    if (!slot) {
        slot = std::make_unique<Client>();
        slot->sender = this;
        slot->name = name;
        slot->progress = Clock::now();
    }
    return *slot;
}

void ResponseSender::addPeer(const std::string& name, dbus::BusConnection& peer, int socket) {
    Client& c = client(name);
    if (!c.peer)
        busUnread_ -= c.unread;
    c.peer = &peer;
    c.socket = socket;
}

void ResponseSender::setUser(const std::string& name, std::uint32_t uid) {
    Client& c = client(name);
    if (!c.uid) {
        c.uid = uid;
        User& user = users_[uid];
        user.unread += c.unread;
        user.clients.insert(&c);
    }
}

void ResponseSender::setUnread(Client& c, std::size_t unread) {
    if (!c.peer)
        busUnread_ = busUnread_ - c.unread + unread;
    if (c.uid) {
        User& user = users_[*c.uid];
        user.unread = user.unread - c.unread + unread;
    }
    c.unread = unread;
}

bool ResponseSender::lagging(const std::string& name) {
    auto it = clients_.find(name);
    return it != clients_.end() && checkLag(*it->second);
}

std::size_t ResponseSender::unread(const std::string& name) const {
    auto it = clients_.find(name);
    return it == clients_.end() ? 0 : it->second->unread;
}

bool ResponseSender::overLimits(const Client& c) const {
    if (c.unread >= limits_.maxUnreadBytes)
        return true;
    auto user = c.uid ? users_.find(*c.uid) : users_.end();
    const std::size_t userUnread = user != users_.end() ? user->second.unread : c.unread;
    // However many connections its users open (each taking one answer, below), the bus never
    // holds so much of velkord's that it stops reading velkord.
    if (!c.peer && busUnread_ >= ServiceLimits::kMaxBusUnreadBytes && userUnread > 0)
        return true;
    // A client that has read everything is not held back by its user's other clients: it takes
    // one answer at a time, so a user's stuck clients do not stop its others.
    if (!c.uid || c.unread == 0)
        return false;
    return userUnread >= limits_.maxUserUnreadBytes;
}

bool ResponseSender::checkLag(Client& c) {
    // What is known unread only grows between looks, so a client within its limits by it is.
    if (!c.lagging && !overLimits(c))
        return false;
    if (c.peer)
        measure(c);
    if (!c.lagging && overLimits(c))
        refreshUser(c);
    const auto now = Clock::now();
    if (c.unread == 0)
        c.progress = now;
    const bool lags = overLimits(c);
    if (lags && !c.lagging) {
        c.lagging = true;
        c.progress = now;
        laggards_.insert(c.name);
        armLagCheck();
        if (!c.peer && !c.ping && c.unread > 0)
            ping(c);
    } else if (!lags && c.lagging) {
        c.lagging = false;
        laggards_.erase(c.name);
        if (readAgain_) {
            const std::string name = c.name;  // `readAgain_` may send to it
            readAgain_(name);
        }
    }
    return lags;
}

void ResponseSender::measure(Client& c) {
    sd_bus* bus = c.peer->get();
    std::uint64_t waiting = 0;
    if (sd_bus_get_n_queued_write(bus, &waiting) < 0)
        waiting = 0;
    bool read = false;
    while (c.queued.size() > waiting) {
        c.queuedBytes -= c.queued.front();
        c.queued.pop_front();
        read = true;
    }
    // A channel that has closed gave its socket's number back to the system.
    int socket = 0;
    if (sd_bus_is_open(bus) <= 0 || ioctl(c.socket, SIOCOUTQ, &socket) < 0 || socket < 0)
        socket = 0;
    const auto socketBytes = static_cast<std::size_t>(socket);
    if (socketBytes < c.socketBytes)
        read = true;
    c.socketBytes = socketBytes;
    if (read)
        c.progress = Clock::now();
    setUnread(c, c.queuedBytes + socketBytes);
}

void ResponseSender::refreshUser(Client& c) {
    if (!c.uid)
        return;
    User& user = users_[*c.uid];
    const auto now = Clock::now();
    if (now - user.refreshed < std::chrono::milliseconds(1))
        return;
    user.refreshed = now;
    for (Client* other : user.clients) {
        if (other != &c && other->peer)
            measure(*other);
    }
}

void ResponseSender::armLagCheck() {
    if (lagCheck_)
        return;
    sd_event_source* raw = nullptr;
    int r = sd_event_add_time_relative(loop_.get(), &raw, CLOCK_MONOTONIC,
                                       microseconds(ServiceLimits::kLagCheckPeriod), 0, onLagCheck,
                                       this);
    if (r < 0) {
        log.error("Can't watch the clients that lag behind: %@",
                  dbus::BusError("sd_event_add_time", -r).what());
        return;
    }
    lagCheck_.reset(raw);
}

int ResponseSender::onLagCheck(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<ResponseSender*>(userdata);
    self->lagCheck_.reset();
    try {
        self->lookAtLaggards();
    } catch (const std::exception& e) {
        log.error("Looking at the clients that lag behind failed: %@", e.what());
    }
    if (!self->laggards_.empty())
        self->armLagCheck();
    return 0;
}

void ResponseSender::lookAtLaggards() {
    // Channels are throttled by their user, who may open one after another.
    auto throttleKey = [](const Client& c) {
        return c.uid ? LogThrottle::userKey(*c.uid) : c.name;
    };
    const std::vector<std::string> names(laggards_.begin(), laggards_.end());
    for (const auto& name : names) {
        auto it = clients_.find(name);
        if (it == clients_.end()) {
            laggards_.erase(name);
            continue;
        }
        Client& c = *it->second;
        if (c.peer && c.unserved >= kMaxUnserved) {
            if (std::size_t held = 0; LogThrottle::shared().allow(throttleKey(c), held))
                log.warning(
                    "Cut off direct channel %@: it sends nothing but messages velkord does "
                    "not serve.%@",
                    c.name, LogThrottle::heldNote(held));
            laggards_.erase(name);
            if (stalled_)
                stalled_(name, true);
            continue;
        }
        if (!checkLag(c))
            continue;
        if (!c.peer && !c.ping && c.unread > 0)
            ping(c);
        const auto now = Clock::now();
        if (now - c.progress < limits_.maxStallTime)
            continue;
        c.progress = now;
        if (std::size_t held = 0; c.peer && LogThrottle::shared().allow(throttleKey(c), held)) {
            log.warning(
                "Cut off direct channel %@: it has read none of the %d bytes sent to it for "
                "%d ms.%@",
                c.name, c.unread, limits_.maxStallTime.count(), LogThrottle::heldNote(held));
        }
        if (stalled_)
            stalled_(name, c.peer != nullptr);
    }
}

void ResponseSender::forget(const std::string& name) {
    auto it = clients_.find(name);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    if (!c.peer)
        busUnread_ -= c.unread;
    if (c.uid) {
        User& user = users_[*c.uid];
        user.unread -= c.unread;
        user.clients.erase(&c);
        if (user.clients.empty())
            users_.erase(*c.uid);
    }
    laggards_.erase(name);
    // Releasing the slots cancels a ping still in flight and stops watching a channel.
    clients_.erase(it);
}

void ResponseSender::account(Client& c, std::size_t bytes) {
    setUnread(c, c.unread + bytes);
    if (!c.peer && !c.ping && c.unread >= ServiceLimits::kPingAfterBytes)
        ping(c);
}

void ResponseSender::ping(Client& client) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &raw, client.name.c_str(), "/",
                                           "org.freedesktop.DBus.Peer", "Ping");
    dbus::Message call(raw);
    sd_bus_slot* slot = nullptr;
    if (r >= 0)
        r = sd_bus_call_async(bus_.get(), &slot, call.get(), onPong, &client,
                              microseconds(ServiceLimits::kPingPatience));
    if (r < 0) {
        log.error("Can't ping %@: %@", client.name, dbus::BusError("Ping", -r).what());
        return;
    }
    client.ping = dbus::Slot(slot);
    client.pinged = client.unread;
    queued_.push_back(0);
}

int ResponseSender::onPong(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& client = *static_cast<Client*>(userdata);
    try {
        client.sender->ponged(client, reply);
    } catch (const std::exception& e) {
        log.error("Handling a client's pong failed: %@", e.what());
    }
    return 1;
}

void ResponseSender::ponged(Client& client, sd_bus_message* reply) {
    // sd-bus keeps its own reference to the slot while this callback runs.
    dbus::Slot done = std::move(client.ping);
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error && sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY)) {
        log.info("Client %@ has not read its last %d bytes for %d s.", client.name, client.unread,
                 ServiceLimits::kPingPatience.count());
        ping(client);
        return;
    }
    if (error && sd_bus_error_has_name(error, SD_BUS_ERROR_ACCESS_DENIED) && !pingRefused_) {
        pingRefused_ = true;
        log.warning(
            "The bus policy does not let velkord ping its clients, so it can't tell "
            "which ones stop reading; install its policy file.");
    }
    // Any other answer, an error of the client's included, comes after it read what was sent.
    if (client.pinged > 0)
        client.progress = Clock::now();
    setUnread(client, client.unread - std::min(client.pinged, client.unread));
    client.pinged = 0;
    if (client.unread >= ServiceLimits::kPingAfterBytes || (client.lagging && client.unread > 0))
        ping(client);
    checkLag(client);
}

}  // namespace velkor::daemon
