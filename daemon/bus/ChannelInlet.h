#pragma once

#include <systemd/sd-event.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bus/EventLoop.h"
#include "bus/IncompleteMessages.h"
#include "bus/MessageFraming.h"

namespace velkor::daemon {

/// What the client of a direct channel sends passes through here on its way to sd-bus, which
/// reads it from the other end of a pipe: sd-bus keeps a message that has begun to arrive in
/// memory, whatever its declared size (up to 128 MiB) and however long it stays incomplete.
/// The inlet follows the messages' framing as the bytes pass (the authentication lines, then
/// each message's fixed header, which declares its length) and refuses a channel that
/// declares a message over `maxMessageBytes` or sends malformed framing, before sd-bus has
/// taken more than the header. It reads only as much as sd-bus takes, and while its user's
/// incomplete messages allow (`IncompleteMessages`); how long a message may take to finish is
/// for the owner to judge from `begun`.
///
/// Used on the event loop's thread only.
class ChannelInlet {
  public:
    using Clock = std::chrono::steady_clock;
    /// The client broke the rules (why), or closed its end (empty). Told once; the inlet
    /// reads nothing more after it.
    using Ended = std::function<void(const std::string& why)>;

    /// Takes ownership of `client` (the channel's socket, as read from) and `toBus` (the end of
    /// the pipe that sd-bus reads).
    ChannelInlet(EventLoop& loop, int client, int toBus, std::uint32_t uid,
                 std::size_t maxMessageBytes, IncompleteMessages& incomplete, Ended ended);
    ~ChannelInlet();
    ChannelInlet(const ChannelInlet&) = delete;
    ChannelInlet& operator=(const ChannelInlet&) = delete;

    /// Moves on what has arrived, as far as sd-bus takes it; false once nothing more will pass.
    bool pump();
    /// Reads nothing more; sd-bus sees the end of what it was given.
    void close();
    /// May read again, after `IncompleteMessages` held it back.
    void resume();

    std::uint32_t uid() const { return uid_; }
    /// The bytes of the message begun and not finished, and when it began; none between messages.
    std::size_t incomplete() const { return framing_.incomplete(); }
    std::optional<Clock::time_point> begun() const { return begun_; }

  private:
    static int onClient(sd_event_source* source, int fd, std::uint32_t events, void* userdata);
    static int onBus(sd_event_source* source, int fd, std::uint32_t events, void* userdata);

    /// Follows the framing of `data` and counts what stays incomplete against the user; gives
    /// why it is refused, or nothing.
    std::optional<std::string> follow(const std::uint8_t* data, std::size_t size);
    /// Writes what waits for sd-bus; false while some still waits.
    bool deliver();
    void waitForBus(bool waiting);
    void end(const std::string& why);

    int client_;
    int toBus_;
    std::uint32_t uid_;
    IncompleteMessages& incompleteMessages_;
    Ended ended_;
    EventSourcePtr clientSource_;
    EventSourcePtr busSource_;
    bool done_ = false;

    MessageFraming framing_;
    /// What of the message begun the user's books hold, and when it began.
    std::size_t counted_ = 0;
    std::optional<Clock::time_point> begun_;

    // What was read and sd-bus has not taken yet.
    std::vector<std::uint8_t> buffer_;
    std::size_t pending_ = 0;
    std::size_t pendingAt_ = 0;
};

}  // namespace velkor::daemon
