#include "bus/ChannelInlet.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

/// How much is read from a client at a time: a request of usual size in one read.
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

ChannelInlet::ChannelInlet(EventLoop& loop, int client, int toBus, std::uint32_t uid,
                           std::size_t maxMessageBytes, IncompleteMessages& incomplete, Ended ended)
    : client_(client),
      toBus_(toBus),
      uid_(uid),
      incompleteMessages_(incomplete),
      ended_(std::move(ended)),
      framing_(maxMessageBytes),
      buffer_(kChunk) {
    sd_event_source* raw = nullptr;
    int r = sd_event_add_io(loop.get(), &raw, client_, EPOLLIN, onClient, this);
    if (r < 0) {
        ::close(client_);
        ::close(toBus_);
        dbus::BusError::check(r, "Watching a channel's socket");
    }
    clientSource_.reset(raw);
    r = sd_event_add_io(loop.get(), &raw, toBus_, EPOLLOUT, onBus, this);
    if (r < 0) {
        ::close(client_);
        ::close(toBus_);
        dbus::BusError::check(r, "Watching a channel's way to sd-bus");
    }
    busSource_.reset(raw);
    sd_event_source_set_enabled(raw, SD_EVENT_OFF);
}

ChannelInlet::~ChannelInlet() {
    close();
    incompleteMessages_.forget(*this);
    ::close(client_);
    ::close(toBus_);
}

int ChannelInlet::onClient(sd_event_source*, int, std::uint32_t, void* userdata) {
    static_cast<ChannelInlet*>(userdata)->pump();
    return 0;
}

int ChannelInlet::onBus(sd_event_source*, int, std::uint32_t, void* userdata) {
    auto& inlet = *static_cast<ChannelInlet*>(userdata);
    if (!inlet.done_ && inlet.deliver())
        inlet.pump();
    return 0;
}

bool ChannelInlet::pump() {
    if (done_ || !deliver())
        return false;
    // A user's large messages wait their turn; a small one goes at once, so that the user's
    // other channels are served while one of them sends megabytes.
    if (framing_.declared() > kChunk && !incompleteMessages_.mayRead(*this)) {
        sd_event_source_set_enabled(clientSource_.get(), SD_EVENT_OFF);
        return false;
    }
    const ssize_t n = ::recv(client_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (n <= 0) {
        end("");
        return false;
    }
    if (auto why = follow(buffer_.data(), static_cast<std::size_t>(n))) {
        end(*why);
        return false;
    }
    pending_ = static_cast<std::size_t>(n);
    pendingAt_ = 0;
    deliver();
    return true;
}

bool ChannelInlet::deliver() {
    while (pending_ > 0) {
        const ssize_t n =
            ::send(toBus_, buffer_.data() + pendingAt_, pending_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            waitForBus(true);
            return false;
        }
        if (n < 0) {
            // sd-bus has let go of its end: the channel is over anyway.
            end("");
            return false;
        }
        pendingAt_ += static_cast<std::size_t>(n);
        pending_ -= static_cast<std::size_t>(n);
    }
    waitForBus(false);
    return true;
}

void ChannelInlet::waitForBus(bool waiting) {
    sd_event_source_set_enabled(busSource_.get(), waiting ? SD_EVENT_ON : SD_EVENT_OFF);
    sd_event_source_set_enabled(clientSource_.get(), waiting ? SD_EVENT_OFF : SD_EVENT_ON);
}

void ChannelInlet::resume() {
    if (!done_ && pending_ == 0)
        sd_event_source_set_enabled(clientSource_.get(), SD_EVENT_ON);
}

void ChannelInlet::close() {
    if (done_)
        return;
    done_ = true;
    sd_event_source_set_enabled(clientSource_.get(), SD_EVENT_OFF);
    sd_event_source_set_enabled(busSource_.get(), SD_EVENT_OFF);
    if (counted_ > 0)
        incompleteMessages_.finished(*this, counted_);
    counted_ = 0;
    // sd-bus reads what it was given, then sees the end.
    ::shutdown(toBus_, SHUT_WR);
}

void ChannelInlet::end(const std::string& why) {
    if (done_)
        return;
    close();
    ended_(why);
}

std::optional<std::string> ChannelInlet::follow(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t before = framing_.messages();
    if (auto why = framing_.follow(data, size))
        return why;
    if (framing_.messages() != before && counted_ > 0) {
        incompleteMessages_.finished(*this, counted_);
        counted_ = 0;
        begun_.reset();
    }
    // Only a message that stays incomplete past this read is counted against its user.
    if (framing_.incomplete() > counted_) {
        incompleteMessages_.grew(*this, framing_.incomplete() - counted_);
        counted_ = framing_.incomplete();
        if (!begun_)
            begun_ = Clock::now();
    }
    return std::nullopt;
}

}  // namespace velkor::daemon
