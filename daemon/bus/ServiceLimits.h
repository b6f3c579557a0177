#pragma once

#include <chrono>
#include <cstddef>

namespace velkor::daemon {

/// What one client may have waiting in velkord and on the bus, so that a client that floods or
/// stops reading loses only its own service.
struct ServiceLimits {
    static constexpr std::size_t kMiB = 1024 * 1024;

    /// Requests of one client received and not yet applied. Past it, a request is refused
    /// (`serverError`) at once, or dropped unanswered when the client is not reading.
    std::size_t maxWaitingRequests = 256;
    /// Bytes of answers and notices sent to one client that it has not been seen to read. Past
    /// it, a client on a direct channel is cut off (its channel is closed); one on the bus has
    /// its requests wait and is sent no notices (it stops holding containers).
    std::size_t maxUnreadBytes = 16 * kMiB;
    /// Bytes unread by all the clients of one uid, which a user could otherwise multiply by
    /// opening connections. Past it, each of them with `kPingAfterBytes` or more unread is over
    /// its budget too.
    std::size_t maxUserUnreadBytes = 32 * kMiB;
    /// Bytes waiting in velkord's own queue for the bus to take them. Past it, no request is
    /// applied until the bus has taken some; it also bounds the answers of one batch (one
    /// answer always goes, however large). Kept small, since another client's answer waits
    /// behind all of it.
    std::size_t maxQueuedBytes = 1 * kMiB;
    /// Direct channels one user may hold at a time (each is a socket of velkord's).
    std::size_t maxChannelsPerUser = 256;

    /// A client is asked to prove it reads (a Peer.Ping, whose reply comes after it has read
    /// everything sent before) once this much is unread.
    static constexpr std::size_t kPingAfterBytes = kMiB;
    /// How long a ping may go unanswered before it is sent again.
    static constexpr std::chrono::seconds kPingPatience{30};
};

}  // namespace velkor::daemon
