#include "bus/CallerDirectory.h"

#include <exception>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.CallerDirectory");

}  // namespace

CallerDirectory::CallerDirectory(dbus::BusConnection& bus, Ready ready, Refused refused)
    : bus_(bus), ready_(std::move(ready)), refused_(std::move(refused)) {}

void CallerDirectory::submit(const std::string& sender, Tagged<ClientRequest> request) {
    auto& slot = clients_[sender];
    if (!slot)
        slot = std::make_unique<Client>(Client{this, sender, std::nullopt, {}, {}, 0});
    Client& client = *slot;
    if (client.uid) {
        ready_(Caller{sender, *client.uid}, std::move(request));
        return;
    }
    client.waiting.push_back(Waiting{request.tag, std::move(request.payload)});
    if (!client.lookup)
        ask(client);
}

bool CallerDirectory::holdRefusal(const std::string& sender, const UUID& tag) {
    auto it = clients_.find(sender);
    if (it == clients_.end() || it->second->waiting.empty())
        return false;
    it->second->waiting.push_back(Waiting{tag, std::nullopt});
    return true;
}

void CallerDirectory::ask(Client& client) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_call_method_async(
        bus_.get(), &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixUser", onAnswer, &client, "s", client.name.c_str());
    if (r < 0) {
        log.error("Can't ask the bus for the user of %@: %@; %d requests are dropped.", client.name,
                  dbus::BusError("GetConnectionUnixUser", -r).what(), client.waiting.size());
        const std::string name = client.name;
        clients_.erase(name);
        return;
    }
    client.lookup = dbus::Slot(raw);
    ++lookupsPending_;
}

int CallerDirectory::onAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& client = *static_cast<Client*>(userdata);
    try {
        client.directory->answered(client, reply);
    } catch (const std::exception& e) {
        log.error("Handling the user of a client failed: %@", e.what());
    }
    return 1;
}

void CallerDirectory::answered(Client& client, sd_bus_message* reply) {
    --lookupsPending_;
    // sd-bus keeps its own reference to the slot while this callback runs.
    dbus::Slot done = std::move(client.lookup);
    std::uint32_t uid = 0;
    if (sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_message_read_basic(reply, 'u', &uid) < 0) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        // A question the bus did not answer in time (it was busy, or velkord's own queue held
        // it back) says nothing of the client: it is asked again.
        if (error && sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) &&
            ++client.attempts < kMaxAttempts) {
            log.warning("The bus did not tell the user of %@ in time; asking again.", client.name);
            ask(client);
            return;
        }
        log.warning("The bus can't tell the user of %@ (%@); its %d requests are dropped.",
                    client.name, error && error->name ? error->name : "unreadable answer",
                    client.waiting.size());
        const std::string name = client.name;
        clients_.erase(name);  // `client` is gone from here on
        return;
    }
    log.debug("Client %@ runs as uid %d.", client.name, uid);
    client.uid = uid;
    const Caller caller{client.name, uid};
    auto waiting = std::move(client.waiting);
    client.waiting.clear();
    for (auto& entry : waiting) {
        if (entry.payload)
            ready_(caller, Tagged<ClientRequest>{entry.tag, std::move(*entry.payload)});
        else if (refused_)
            refused_(caller.clientId, entry.tag);
    }
}

void CallerDirectory::addKnown(const std::string& client, std::uint32_t uid) {
    clients_[client] = std::make_unique<Client>(Client{this, client, uid, {}, {}, 0});
}

bool CallerDirectory::forget(const std::string& uniqueName) {
    auto it = clients_.find(uniqueName);
    if (it == clients_.end())
        return false;
    if (it->second->lookup)
        --lookupsPending_;
    // Releasing the slot cancels the question, if it is still open.
    clients_.erase(it);
    return true;
}

}  // namespace velkor::daemon
