#include "dbus/BusConnection.h"

#include <unistd.h>

#include <cerrno>

#include "dbus/BusError.h"

namespace velkor::dbus {

namespace {

constexpr const char* kDriverName = "org.freedesktop.DBus";
constexpr const char* kDriverPath = "/org/freedesktop/DBus";
constexpr const char* kDriverInterface = "org.freedesktop.DBus";

/// Frees an sd_bus_error at the end of a scope.
struct ErrorScope {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorScope() { sd_bus_error_free(&error); }
};

/// Passes every matched message on to whoever processes the connection.
int passThrough(sd_bus_message*, void*, sd_bus_error*) {
    return 0;
}

}  // namespace

BusConnection BusConnection::open(const std::string& address) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
        BusError::check(sd_bus_open_system(&raw), "Opening the system bus");
    } else {
        BusError::check(sd_bus_new(&raw), "Allocating a bus connection");
    }
    BusConnection connection(raw);
    if (!address.empty()) {
        BusError::check(sd_bus_set_address(raw, address.c_str()), "Setting the bus address");
        BusError::check(sd_bus_set_bus_client(raw, 1), "Making the connection a bus client");
        BusError::check(sd_bus_start(raw), "Connecting to the bus");
    }
    // Waits for the bus's answer to Hello, so that a bus that refuses us fails here.
    connection.uniqueName();
    return connection;
}

BusConnection BusConnection::openPeer(int fd) {
    sd_bus* raw = nullptr;
    if (int r = sd_bus_new(&raw); r < 0) {
        close(fd);
        BusError::check(r, "Allocating a bus connection");
    }
    BusConnection connection(raw);
    if (int r = sd_bus_set_fd(raw, fd, fd); r < 0) {
        close(fd);
        BusError::check(r, "Setting a peer's socket");
    }
    BusError::check(sd_bus_set_anonymous(raw, 1), "Connecting anonymously");
    BusError::check(sd_bus_negotiate_fds(raw, 0), "Passing no file descriptors");
    BusError::check(sd_bus_start(raw), "Connecting to a peer");
    return connection;
}

std::string BusConnection::uniqueName() const {
    const char* name = nullptr;
    BusError::check(sd_bus_get_unique_name(bus_.get(), &name), "Getting the unique name");
    return name;
}

bool BusConnection::requestName(const std::string& name) {
    int r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
    if (r == -EEXIST)
        return false;
    if (r == -EALREADY)
        return true;
    BusError::check(r, "Requesting a bus name");
    return true;
}

void BusConnection::send(const Message& message) {
    BusError::check(sd_bus_send(bus_.get(), message.get(), nullptr), "Sending a message");
}

std::optional<std::string> BusConnection::nameOwner(const std::string& name) {
    ErrorScope scope;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus_.get(), kDriverName, kDriverPath, kDriverInterface,
                               "GetNameOwner", &scope.error, &raw, "s", name.c_str());
    Message reply(raw);
    if (r < 0 && sd_bus_error_has_name(&scope.error, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        return std::nullopt;
    BusError::check(r, "Asking for a name's owner");
    const char* owner = nullptr;
    BusError::check(sd_bus_message_read_basic(reply.get(), 's', &owner), "Reading a name's owner");
    return std::string(owner);
}

bool BusConnection::isActivatable(const std::string& name) {
    ErrorScope scope;
    sd_bus_message* raw = nullptr;
    BusError::check(sd_bus_call_method(bus_.get(), kDriverName, kDriverPath, kDriverInterface,
                                       "ListActivatableNames", &scope.error, &raw, ""),
                    "Listing activatable names");
    Message reply(raw);
    BusError::check(sd_bus_message_enter_container(reply.get(), 'a', "s"),
                    "Reading activatable names");
    const char* entry = nullptr;
    while (BusError::check(sd_bus_message_read_basic(reply.get(), 's', &entry),
                           "Reading activatable names") > 0) {
        if (name == entry)
            return true;
    }
    return false;
}

std::optional<uid_t> BusConnection::uidOf(const std::string& uniqueName) {
    sd_bus_creds* raw = nullptr;
    int r = sd_bus_get_name_creds(bus_.get(), uniqueName.c_str(), SD_BUS_CREDS_EUID, &raw);
    std::unique_ptr<sd_bus_creds, sd_bus_creds* (*)(sd_bus_creds*)> creds(raw, sd_bus_creds_unref);
    if (r == -ENXIO || r == -ENOENT)
        return std::nullopt;
    BusError::check(r, "Asking for a connection's credentials");
    uid_t uid = 0;
    BusError::check(sd_bus_creds_get_euid(creds.get(), &uid), "Reading a connection's user");
    return uid;
}

Slot BusConnection::addMatch(const std::string& rule) {
    sd_bus_slot* raw = nullptr;
    BusError::check(sd_bus_add_match(bus_.get(), &raw, rule.c_str(), passThrough, nullptr),
                    "Adding a match rule");
    return Slot(raw);
}

void BusConnection::replyWithError(const Message& call, const char* errorName,
                                   const std::string& text) {
    BusError::check(sd_bus_reply_method_errorf(call.get(), errorName, "%s", text.c_str()),
                    "Replying with an error");
}

}  // namespace velkor::dbus
