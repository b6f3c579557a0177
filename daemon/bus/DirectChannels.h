#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus/EventLoop.h"
#include "bus/IdleTask.h"
#include "bus/IncompleteMessages.h"
#include "bus/ServiceLimits.h"
#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/Slot.h"

namespace velkor::daemon {

/// Direct channels: a client asks velkord on the bus (`openDirectChannel` of
/// org.velkor.SettingsChannelService) for a connection of its own and gets back one end of a
/// socket pair; velkord serves the other end on its event loop as a peer-to-peer D-Bus
/// connection with the same request and answer interfaces as on the bus. Requests, answers and
/// notifications then no longer pass through the bus daemon, and velkord sees each client's
/// backlog on its own socket.
///
/// Identity: the uid the bus gives for the asker when it asks is the channel's uid for as long as
/// the channel lasts. Nothing sent on the channel can change it, and only velkord can send on
/// the client's end, so no answer there can be spoofed. A user may hold
/// `ServiceLimits::maxChannelsPerUser` channels at a time; asking for more is refused with a
/// D-Bus error (`org.freedesktop.DBus.Error.LimitsExceeded`), and the client stays on the bus.
/// So is asking for more while `kMaxUnclaimedPerAsker` channels handed out to the asker, or
/// `kMaxUnclaimedPerUser` to its user (`kMaxUnclaimed` in all), have not been taken up yet; a
/// channel not taken up within `kClaimPatience` is closed; a call that expects no reply
/// gets no channel at all.
///
/// Each channel is a client of its own, named "<asker's unique name>/<n>" in velkord's logs and
/// books; names on the bus start with ':' and never contain '/', so the two kinds never meet.
/// What a channel's client sends passes through a `ChannelInlet`, which follows the messages'
/// framing: a channel that declares a message larger than the bus would carry
/// (`ServiceLimits::kMaxChannelMessageBytes`) or sends malformed framing is cut off before
/// velkord holds more than the message's header, and one that leaves a message unfinished for
/// `ServiceLimits::maxStallTime` is cut off too. A user's channels together make velkord hold
/// at most `ServiceLimits::kMaxUserIncompleteBytes` of unfinished messages, plus one.
///
/// A channel ends when its client closes it, or when velkord cuts it off (`cutOff`); either way
/// `Closed` is told once, on the event loop, outside any of the channel's callbacks.
///
/// Used on the event loop's thread only.
class DirectChannels {
  public:
    /// A request arrived on a channel: handled as one from `client` would be on the bus.
    using Request = std::function<void(const dbus::Message& call, const std::string& client)>;
    /// A channel was handed out: `client` speaks as `uid` on `peer`, which writes to `socket`.
    using Opened = std::function<void(const std::string& client, std::uint32_t uid,
                                      dbus::BusConnection& peer, int socket)>;
    /// A channel has ended; its client is gone.
    using Closed = std::function<void(const std::string& client)>;

    /// Channels handed out and not taken up yet that one asker, and one user, may have: each
    /// is a descriptor in the bus's queue for the asker, and dbus-daemon stops reading from
    /// velkord once 64 of its descriptors wait there.
    static constexpr std::size_t kMaxUnclaimedPerAsker = 4;
    static constexpr std::size_t kMaxUnclaimedPerUser = 16;
    static constexpr std::size_t kMaxUnclaimed = 32;
    /// How long a channel handed out may wait to be taken up before it is closed.
    static constexpr std::chrono::seconds kClaimPatience{30};

    DirectChannels(dbus::BusConnection& bus, EventLoop& loop, const ServiceLimits& limits,
                   Request request, Opened opened, Closed closed);
    ~DirectChannels();
    DirectChannels(const DirectChannels&) = delete;
    DirectChannels& operator=(const DirectChannels&) = delete;

    /// Serves org.velkor.SettingsChannelService on velkord's object. Throws BusError.
    void start();

    /// Ends the channel of `client` now: what is queued for it is dropped, and its end of the
    /// socket sees the connection close.
    void cutOff(const std::string& client);

    /// Reads what has already arrived on every channel, so that stopping answers it too; a
    /// channel that keeps sending is read until `deadline` at most.
    void drain(std::chrono::steady_clock::time_point deadline);
    /// Writes out what is queued on every channel, waiting until `deadline` at most.
    void flush(std::chrono::steady_clock::time_point deadline);

    /// How many channels are open.
    std::size_t size() const { return channels_.size(); }
    /// How often hand-outs not taken up and messages left unfinished are looked at.
    static constexpr std::chrono::seconds kWatchPeriod{1};

  private:
    struct Channel;
    struct Opening;

    static int onOpen(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int onUser(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onDisconnected(sd_bus_message* signal, void* userdata, sd_bus_error* error);
    static int onWatch(sd_event_source* source, std::uint64_t usec, void* userdata);

    void open(const dbus::Message& call);
    void userKnown(const Opening& opening, sd_bus_message* reply);
    /// Makes the channel of `uid` and replies to `call` with the client's end.
    void handOut(const dbus::Message& call, const std::string& asker, std::uint32_t uid);
    std::size_t channelsOf(std::uint32_t uid) const;
    /// Whether `asker`, or its user, has too many channels handed out and not taken up yet.
    bool unclaimed(const std::string& asker, std::uint32_t uid);
    /// Closes the channels not taken up in time, and those that leave a message unfinished.
    void watch();
    /// Marks `channel` ended; `Closed` is told and it is released from the event loop.
    void end(Channel& channel);
    void reap();

    dbus::BusConnection& bus_;
    EventLoop& loop_;
    const ServiceLimits& limits_;
    Request request_;
    Opened opened_;
    Closed closed_;
    dbus::Slot object_;
    IncompleteMessages incomplete_{ServiceLimits::kMaxUserIncompleteBytes};
    std::unordered_map<Opening*, std::unique_ptr<Opening>> openings_;
    std::unordered_map<std::string, std::unique_ptr<Channel>> channels_;
    std::uint64_t handedOut_ = 0;
    IdleTask reaper_;
    EventSourcePtr watch_;
};

}  // namespace velkor::daemon
