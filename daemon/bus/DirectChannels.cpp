#include "bus/DirectChannels.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <exception>

#include "basalt/QZLogger.h"
#include "bus/ChannelInlet.h"
#include "bus/ObjectVtables.h"
#include "core/LogThrottle.h"
#include "dbus/BusError.h"
#include "internals/SettingsService.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.DirectChannels");

/// Closes a file descriptor at the end of a scope, unless released.
struct FdScope {
    int fd = -1;
    ~FdScope() {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

/// A request for a channel, waiting for the bus to tell the asker's uid.
struct DirectChannels::Opening {
    DirectChannels* owner;
    dbus::Message call;
    std::string asker;
    dbus::Slot lookup;
};

struct DirectChannels::Channel {
    Channel(DirectChannels* owner, std::string name, std::uint32_t uid, dbus::BusConnection bus)
        : owner(owner), name(std::move(name)), uid(uid), bus(std::move(bus)) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    DirectChannels* owner;
    std::string name;
    std::uint32_t uid;
    dbus::BusConnection bus;
    /// Who asked for it, and when it was handed out: until its client has taken it up (the
    /// handshake on the socket is done), the hand-out may still wait in the bus's queue.
    std::string asker;
    std::chrono::steady_clock::time_point handedOut;
    bool claimed = false;
    CallHandler handler;
    std::vector<dbus::Slot> object;
    dbus::Slot disconnected;
    /// The socket velkord writes to, which sd-bus owns, and what reads from it for sd-bus.
    int socket = -1;
    std::unique_ptr<ChannelInlet> inlet;
    bool ended = false;

    ~Channel() {
        // Slots go before the connection they hold; closing first leaves the connection nothing
        // to flush, so that releasing it never waits for a client that does not read.
        object.clear();
        disconnected = {};
        inlet.reset();
        sd_bus_close(bus.get());
    }
};

DirectChannels::DirectChannels(dbus::BusConnection& bus, EventLoop& loop,
                               const ServiceLimits& limits, Request request, Opened opened,
                               Closed closed)
    : bus_(bus),
      loop_(loop),
      limits_(limits),
      request_(std::move(request)),
      opened_(std::move(opened)),
      closed_(std::move(closed)),
      reaper_(loop, [this] { reap(); }) {
    sd_event_source* raw = nullptr;
    dbus::BusError::check(sd_event_add_time_relative(
                              loop.get(), &raw, CLOCK_MONOTONIC,
                              std::chrono::microseconds(kWatchPeriod).count(), 0, onWatch, this),
                          "Watching the direct channels");
    watch_.reset(raw);
    sd_event_source_set_enabled(raw, SD_EVENT_ON);
}

DirectChannels::~DirectChannels() = default;

void DirectChannels::start() {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES(dbus_names::kOpenChannelMember, "", "", "h", SD_BUS_PARAM(channel),
                                 onOpen, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(sd_bus_add_object_vtable(bus_.get(), &raw, dbus_names::kObjectPath,
                                                   dbus_names::kChannelInterface, vtable, this),
                          "Serving the channel interface");
    object_ = dbus::Slot(raw);
}

int DirectChannels::onOpen(sd_bus_message* call, void* userdata, sd_bus_error*) {
    try {
        static_cast<DirectChannels*>(userdata)->open(dbus::Message(sd_bus_message_ref(call)));
    } catch (const std::exception& e) {
        log.error("Handing out a direct channel failed: %@", e.what());
        sd_bus_reply_method_errorf(call, SD_BUS_ERROR_FAILED, "%s", e.what());
    }
    return 1;
}

void DirectChannels::open(const dbus::Message& call) {
    // Nobody would take a hand-out that is not replied to.
    if (sd_bus_message_get_expect_reply(call.get()) <= 0)
        return;
    std::string asker(call.sender());
    // The uid is asked without waiting, like a request's, so that the loop serves on meanwhile.
    auto opening = std::make_unique<Opening>(
        Opening{this, dbus::Message(sd_bus_message_ref(call.get())), asker, {}});
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(
        sd_bus_call_method_async(bus_.get(), &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetConnectionUnixUser", onUser,
                                 opening.get(), "s", asker.c_str()),
        "Asking for the user of a channel's asker");
    opening->lookup = dbus::Slot(raw);
    auto* key = opening.get();
    openings_.emplace(key, std::move(opening));
}

int DirectChannels::onUser(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& opening = *static_cast<Opening*>(userdata);
    // sd-bus keeps its own reference to the slot while this callback runs.
    auto done = std::move(opening.owner->openings_.extract(&opening).mapped());
    try {
        done->owner->userKnown(*done, reply);
    } catch (const std::exception& e) {
        // The asker hears of it now rather than at its time-out, and stays on the bus.
        log.error("Handing out a direct channel failed: %@", e.what());
        sd_bus_reply_method_errorf(done->call.get(), SD_BUS_ERROR_FAILED, "%s", e.what());
    }
    return 1;
}

void DirectChannels::userKnown(const Opening& done, sd_bus_message* reply) {
    std::uint32_t uid = 0;
    if (sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_message_read_basic(reply, 'u', &uid) < 0) {
        // The asker has left, or the bus can't tell: it stays on the bus path, if it is there.
        if (std::size_t held = 0; LogThrottle::shared().allow(done.asker, held))
            log.warning("The bus can't tell the user of %@; no direct channel for it.%@",
                        done.asker, LogThrottle::heldNote(held));
        sd_bus_reply_method_errorf(done.call.get(), SD_BUS_ERROR_FAILED,
                                   "The bus can't tell the caller's user.");
        return;
    }
    if (unclaimed(done.asker, uid)) {
        if (std::size_t held = 0; LogThrottle::shared().allow(done.asker, held))
            log.warning(
                "Refused a direct channel to %@ (uid %d): channels handed out to it or its "
                "user wait to be taken up.%@",
                done.asker, uid, LogThrottle::heldNote(held));
        sd_bus_reply_method_errorf(done.call.get(), SD_BUS_ERROR_LIMITS_EXCEEDED,
                                   "Channels handed out wait to be taken up.");
        return;
    }
    if (channelsOf(uid) >= limits_.maxChannelsPerUser) {
        if (std::size_t held = 0; LogThrottle::shared().allow(done.asker, held))
            log.warning("Refused a direct channel to %@ (uid %d): it holds %d already.%@",
                        done.asker, uid, limits_.maxChannelsPerUser, LogThrottle::heldNote(held));
        sd_bus_reply_method_errorf(done.call.get(), SD_BUS_ERROR_LIMITS_EXCEEDED,
                                   "User %u holds %zu direct channels already.", uid,
                                   limits_.maxChannelsPerUser);
        return;
    }
    handOut(done.call, done.asker, uid);
}

void DirectChannels::handOut(const dbus::Message& call, const std::string& asker,
                             std::uint32_t uid) {
    int fds[2], inner[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0)
        throw dbus::BusError("Making a socket pair", errno);
    FdScope ours{fds[0]}, theirs{fds[1]};
    // sd-bus reads what the client sends from an inner socket pair, through the channel's
    // inlet, and writes to the client's socket itself.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, inner) < 0)
        throw dbus::BusError("Making a socket pair", errno);
    FdScope busEnd{inner[0]}, inletEnd{inner[1]}, reading{fcntl(ours.fd, F_DUPFD_CLOEXEC, 3)};
    if (reading.fd < 0)
        throw dbus::BusError("Copying a channel's socket", errno);

    sd_bus* raw = nullptr;
    dbus::BusError::check(sd_bus_new(&raw), "Allocating a channel");
    auto channel = std::make_unique<Channel>(this, asker + "/" + std::to_string(++handedOut_), uid,
                                             dbus::BusConnection(raw));
    sd_id128_t id;
    dbus::BusError::check(sd_id128_randomize(&id), "Making a channel's id");
    dbus::BusError::check(sd_bus_set_fd(raw, busEnd.fd, ours.fd), "Setting a channel's socket");
    channel->socket = ours.fd;
    ours.fd = busEnd.fd = -1;  // the connection owns them now
    // The peer proves nothing at connect: its identity is the uid fixed here. It may not pass
    // file descriptors to velkord.
    dbus::BusError::check(sd_bus_set_server(raw, 1, id), "Making a channel's server end");
    dbus::BusError::check(sd_bus_set_anonymous(raw, 1), "Accepting an anonymous peer");
    dbus::BusError::check(sd_bus_negotiate_fds(raw, 0), "Refusing file descriptors");
    // velkord flushes its channels itself when it stops, bounded in time (`flush`).
    dbus::BusError::check(sd_bus_set_close_on_exit(raw, 0), "Keeping a channel open on exit");
    dbus::BusError::check(sd_bus_start(raw), "Starting a channel");

    Channel& c = *channel;
    c.inlet = std::make_unique<ChannelInlet>(
        loop_, reading.fd, inletEnd.fd, uid, ServiceLimits::kMaxChannelMessageBytes, incomplete_,
        [this, &c, uid](const std::string& why) {
            if (why.empty())
                return;  // the client closed its end: sd-bus sees that next
            if (std::size_t held = 0; LogThrottle::shared().allow(LogThrottle::userKey(uid), held))
                log.warning("Cut off direct channel %@: %@.%@", c.name, why,
                            LogThrottle::heldNote(held));
            cutOff(c.name);
        });
    reading.fd = inletEnd.fd = -1;
    c.handler = [&c](const dbus::Message& call) {
        if (!c.ended)
            c.owner->request_(call, c.name);
    };
    c.object = serveObject(raw, c.handler);
    sd_bus_slot* slot = nullptr;
    dbus::BusError::check(
        sd_bus_match_signal(raw, &slot, nullptr, "/org/freedesktop/DBus/Local",
                            "org.freedesktop.DBus.Local", "Disconnected", onDisconnected, &c),
        "Watching a channel close");
    c.disconnected = dbus::Slot(slot);
    dbus::BusError::check(sd_bus_attach_event(raw, loop_.get(), SD_EVENT_PRIORITY_NORMAL),
                          "Attaching a channel to the event loop");

    dbus::BusError::check(sd_bus_reply_method_return(call.get(), "h", theirs.fd),
                          "Handing out a channel");
    log.info("Opened direct channel %@ (uid %d).", c.name, uid);
    c.asker = asker;
    c.handedOut = std::chrono::steady_clock::now();
    const std::string name = c.name;
    channels_.emplace(name, std::move(channel));
    opened_(name, uid, c.bus, c.socket);
}

bool DirectChannels::unclaimed(const std::string& asker, std::uint32_t uid) {
    watch();
    std::size_t byAsker = 0, byUser = 0, all = 0;
    for (auto& [name, channel] : channels_) {
        if (channel->ended || channel->claimed)
            continue;
        ++all;
        byUser += channel->uid == uid;
        byAsker += channel->asker == asker;
    }
    return byAsker >= kMaxUnclaimedPerAsker || byUser >= kMaxUnclaimedPerUser ||
           all >= kMaxUnclaimed;
}

int DirectChannels::onWatch(sd_event_source* source, std::uint64_t, void* userdata) {
    static_cast<DirectChannels*>(userdata)->watch();
    sd_event_source_set_time_relative(source, std::chrono::microseconds(kWatchPeriod).count());
    sd_event_source_set_enabled(source, SD_EVENT_ON);
    return 0;
}

void DirectChannels::watch() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [name, channel] : channels_) {
        if (channel->ended)
            continue;
        if (!channel->claimed && sd_bus_is_ready(channel->bus.get()) > 0)
            channel->claimed = true;
        // A hand-out its asker never took up is closed, so that its descriptor does not sit
        // in the bus's queue for good.
        if (!channel->claimed && now - channel->handedOut >= kClaimPatience) {
            log.info("Closed direct channel %@: its asker never took it up.", channel->name);
            cutOff(name);
            continue;
        }
        const auto begun = channel->inlet->begun();
        if (begun && now - *begun >= limits_.maxStallTime) {
            if (std::size_t held = 0;
                LogThrottle::shared().allow(LogThrottle::userKey(channel->inlet->uid()), held)) {
                log.warning(
                    "Cut off direct channel %@: it has left a message of %d bytes "
                    "unfinished for %d s.%@",
                    channel->name, channel->inlet->incomplete(),
                    std::chrono::duration_cast<std::chrono::seconds>(now - *begun).count(),
                    LogThrottle::heldNote(held));
            }
            cutOff(name);
        }
    }
}

std::size_t DirectChannels::channelsOf(std::uint32_t uid) const {
    std::size_t n = 0;
    for (const auto& [name, channel] : channels_)
        n += channel->uid == uid && !channel->ended;
    return n;
}

int DirectChannels::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto& channel = *static_cast<Channel*>(userdata);
    log.info("Direct channel %@ closed.", channel.name);
    channel.owner->end(channel);
    return 0;
}

void DirectChannels::cutOff(const std::string& client) {
    auto it = channels_.find(client);
    if (it == channels_.end() || it->second->ended)
        return;
    // Closed at once: nothing more is queued for it, and its client sees the end now (the
    // inlet holds the socket too, so it is shut down rather than only closed).
    ::shutdown(it->second->socket, SHUT_RDWR);
    it->second->inlet->close();
    sd_bus_close(it->second->bus.get());
    end(*it->second);
}

void DirectChannels::end(Channel& channel) {
    if (channel.ended)
        return;
    channel.ended = true;
    // Released from the loop, not from within the channel's own callbacks or a batch's sends.
    reaper_.schedule();
}

void DirectChannels::reap() {
    for (auto it = channels_.begin(); it != channels_.end();) {
        if (!it->second->ended) {
            ++it;
            continue;
        }
        auto channel = std::move(it->second);
        it = channels_.erase(it);
        closed_(channel->name);
    }
}

void DirectChannels::drain(std::chrono::steady_clock::time_point deadline) {
    for (auto& [name, channel] : channels_) {
        while (!channel->ended && std::chrono::steady_clock::now() < deadline) {
            const bool read = channel->inlet->pump();
            if (sd_bus_process(channel->bus.get(), nullptr) <= 0 && !read)
                break;
        }
    }
}

void DirectChannels::flush(std::chrono::steady_clock::time_point deadline) {
    for (auto& [name, channel] : channels_) {
        sd_bus* bus = channel->bus.get();
        std::uint64_t queued = 0;
        while (sd_bus_is_open(bus) > 0 && sd_bus_get_n_queued_write(bus, &queued) >= 0 &&
               queued > 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline || sd_bus_process(bus, nullptr) < 0)
                break;
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
            sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
        }
    }
}

}  // namespace velkor::daemon
