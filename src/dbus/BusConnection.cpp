#include "dbus/BusConnection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <thread>

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

/// Processes `bus` until it has been accepted (authenticated, Hello answered): a bus that
/// refuses us fails here. Gives up at `deadline` with ETIMEDOUT.
void waitUntilAccepted(sd_bus* bus, BusConnection::Deadline deadline) {
    constexpr const char* what = "Connecting to the bus";
    for (;;) {
        int r = BusError::check(sd_bus_process(bus, nullptr), what);
        if (sd_bus_is_ready(bus) > 0)
            return;
        if (sd_bus_is_open(bus) <= 0)
            throw BusError(what, ECONNRESET);  // closed by the bus before accepting us
        if (r > 0)
            continue;
        std::uint64_t wait = UINT64_MAX;
        if (deadline != BusConnection::Deadline::max()) {
            auto left = std::chrono::ceil<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                throw BusError(what, ETIMEDOUT);
            wait = static_cast<std::uint64_t>(left.count());
        }
        BusError::check(sd_bus_wait(bus, wait), what);
    }
}

BusConnection connectOnce(const std::string& address, BusConnection::Deadline deadline) {
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
    try {
        waitUntilAccepted(raw, deadline);
    } catch (...) {
        // Closed before it is released: flushing a connection the bus never accepted would
        // wait for sd-bus's own authentication time-out (90 seconds), not for our deadline.
        sd_bus_close(raw);
        throw;
    }
    return connection;
}

}  // namespace

BusConnection BusConnection::open(const std::string& address) {
    return connectOnce(address, Deadline::max());
}

BusConnection BusConnection::open(const std::string& address, Deadline deadline) {
    // Pauses grow from a few milliseconds to a quarter of a second, each drawn at random from
    // its upper half, so that clients turned away together do not all come back together.
    constexpr auto kLongestPause = std::chrono::milliseconds(250);
    thread_local std::minstd_rand random(std::random_device{}());
    auto pause = std::chrono::milliseconds(4);
    for (;;) {
        try {
            return connectOnce(address, deadline);
        } catch (const BusError& e) {
            auto drawn = std::chrono::milliseconds(
                std::uniform_int_distribution<long>(pause.count() / 2, pause.count())(random));
            if (!isTransientRefusal(e.error()) ||
                std::chrono::steady_clock::now() + drawn >= deadline) {
                throw;
            }
            std::this_thread::sleep_for(drawn);
            pause = std::min(pause * 2, kLongestPause);
        }
    }
}

bool BusConnection::isTransientRefusal(int error) {
    return error == ENOBUFS || error == EAGAIN || error == ECONNRESET || error == EPIPE;
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

void BusConnection::setCallTimeout(std::chrono::microseconds timeout) {
    BusError::check(
        sd_bus_set_method_call_timeout(bus_.get(), static_cast<std::uint64_t>(timeout.count())),
        "Setting the call time-out");
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
