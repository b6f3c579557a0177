#include "bus/ResponseSender.h"

#include <algorithm>
#include <exception>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"
#include "dbus/Message.h"
#include "dbus/ResponseCodec.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.ResponseSender");

}  // namespace

void ResponseSender::send(const std::string& destination, const UUID& tag,
                          const ServerResponse& response) {
    const auto bytes = messageBytes(response);
    Client& c = client(destination);
    try {
        if (!c.peer) {
            bus_.send(dbus::ResponseCodec::build(bus_, destination, tag, response));
            queued_.push_back(bytes);
            queuedBytes_ += bytes;
        } else if (sd_bus_is_open(c.peer->get()) > 0) {
            c.peer->send(dbus::ResponseCodec::build(*c.peer, {}, tag, response));
        } else {
            return;  // a channel that has closed: nobody is left to answer
        }
    } catch (const dbus::BusError& e) {
        log.error("Can't send %@ to %@: %@", response, destination, e.what());
        return;
    }
    account(c, bytes);
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
    return queuedBytes_ >= limits_.maxQueuedBytes;
}

ResponseSender::Client& ResponseSender::client(const std::string& name) {
    auto& slot = clients_[name];
    if (!slot)
        slot = std::make_unique<Client>(Client{this, name, std::nullopt, 0, 0, {}, nullptr});
    return *slot;
}

void ResponseSender::addPeer(const std::string& name, dbus::BusConnection& peer) {
    client(name).peer = &peer;
}

void ResponseSender::setUser(const std::string& name, std::uint32_t uid) {
    Client& c = client(name);
    if (!c.uid) {
        c.uid = uid;
        userUnread_[uid] += c.unread;
    }
}

bool ResponseSender::overBudget(const std::string& name) const {
    auto it = clients_.find(name);
    return it != clients_.end() && overBudget(*it->second);
}

bool ResponseSender::overBudget(const Client& c) const {
    if (c.unread > limits_.maxUnreadBytes)
        return true;
    if (!c.uid || c.unread < ServiceLimits::kPingAfterBytes)
        return false;
    auto user = userUnread_.find(*c.uid);
    return user != userUnread_.end() && user->second > limits_.maxUserUnreadBytes;
}

void ResponseSender::forget(const std::string& name) {
    auto it = clients_.find(name);
    if (it == clients_.end())
        return;
    if (it->second->uid)
        userUnread_[*it->second->uid] -= it->second->unread;
    // Releasing the slot cancels a ping still in flight.
    clients_.erase(it);
}

void ResponseSender::account(Client& c, std::size_t bytes) {
    c.unread += bytes;
    if (c.uid)
        userUnread_[*c.uid] += bytes;
    if (c.peer && overBudget(c) && cutOff_) {
        log.warning("Cut off direct channel %@: %d bytes sent to it are unread.", c.name, c.unread);
        cutOff_(c.name);
        return;
    }
    if (!c.ping && c.unread >= ServiceLimits::kPingAfterBytes)
        ping(c);
}

void ResponseSender::ping(Client& client) {
    // On a direct channel the ping goes to the only peer there is.
    sd_bus* bus = client.peer ? client.peer->get() : bus_.get();
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, client.peer ? nullptr : client.name.c_str(),
                                           "/", "org.freedesktop.DBus.Peer", "Ping");
    dbus::Message call(raw);
    sd_bus_slot* slot = nullptr;
    if (r >= 0) {
        const auto patience =
            std::chrono::duration_cast<std::chrono::microseconds>(ServiceLimits::kPingPatience);
        r = sd_bus_call_async(bus, &slot, call.get(), onPong, &client,
                              static_cast<std::uint64_t>(patience.count()));
    }
    if (r < 0) {
        log.error("Can't ping %@: %@", client.name, dbus::BusError("Ping", -r).what());
        return;
    }
    client.ping = dbus::Slot(slot);
    client.pinged = client.unread;
    if (!client.peer)
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
    const auto settled = std::min(client.pinged, client.unread);
    client.unread -= settled;
    if (client.uid)
        userUnread_[*client.uid] -= settled;
    client.pinged = 0;
    if (client.unread >= ServiceLimits::kPingAfterBytes)
        ping(client);
    // Told even when it was within its budget: its user's other clients may have been over
    // theirs, and what this one read counts for them too.
    if (!overBudget(client) && readAgain_) {
        const std::string name = client.name;  // `readAgain_` may send to it
        readAgain_(name);
    }
}

}  // namespace velkor::daemon
