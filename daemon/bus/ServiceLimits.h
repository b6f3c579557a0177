#pragma once

#include <chrono>
#include <cstddef>

namespace velkor::daemon {

/// What one client may have waiting in velkord and on the bus, so that a client that floods or
/// stops reading loses only its own service, and a client that is merely slow loses nothing.
struct ServiceLimits {
    static constexpr std::size_t kMiB = 1024 * 1024;

    /// Requests of one client received and not yet applied. Past it, a request is refused
    /// (`serverError`) at once, or dropped unanswered when the client lags behind.
    std::size_t maxWaitingRequests = 256;
    /// Bytes of blobs and values carried by the requests of one client that wait, and by those
    /// of all the clients of one uid. A request that would pass either is refused as above.
    std::size_t maxWaitingBytes = 16 * kMiB;
    std::size_t maxUserWaitingBytes = 32 * kMiB;
    /// Bytes of answers and notices sent to one client that it has not read yet. At or past
    /// it the client lags behind: its requests wait, and the changes it would be sent are kept
    /// as one record per container, which it is sent once it has read its backlog (see
    /// `RequestBatch`). One answer always goes, however large.
    std::size_t maxUnreadBytes = 16 * kMiB;
    /// Bytes unread by all the clients of one uid, which a user could otherwise multiply by
    /// opening connections. At or past it, every client of that user with anything unread lags
    /// behind; one that has read everything may take one answer at a time.
    std::size_t maxUserUnreadBytes = 32 * kMiB;
    /// How long a client may lag behind with bytes unread and read nothing of them. Past it, a
    /// client on a direct channel is cut off (its channel is closed, and its library reconnects
    /// and fetches anew); one on the bus stops holding anything until it reads again.
    std::chrono::milliseconds maxStallTime{30'000};
    /// Bytes waiting in velkord's own queue for the bus to take them. Past it, no request is
    /// applied until the bus has taken some; it also bounds the answers of one batch (one
    /// answer always goes, however large). Kept small, since another client's answer waits
    /// behind all of it.
    std::size_t maxQueuedBytes = 1 * kMiB;
    /// Direct channels one user may hold at a time (each is a socket of velkord's).
    std::size_t maxChannelsPerUser = 256;

    /// The largest message a direct channel may send, as on the bus: a request's blob may
    /// take 16 MiB, and one over that is refused with an answer rather than by closing.
    static constexpr std::size_t kMaxChannelMessageBytes = 32 * kMiB;
    /// Bytes of messages begun and not yet finished on the channels of one user. Past it, of
    /// the user's large messages only the one begun first is read on (small ones still pass),
    /// so a user makes velkord hold about this plus one message; a message must be finished
    /// within `maxStallTime` of its beginning.
    static constexpr std::size_t kMaxUserIncompleteBytes = 32 * kMiB;

    /// Bytes unread by all the clients on the bus together. dbus-daemon holds every message
    /// velkord sends until its client reads it, and once it holds 127 MiB of them (its default
    /// `max_incoming_bytes`) it reads nothing more from velkord, for anybody. Past this, a
    /// client on the bus that has anything unread, or whose user has, lags behind, so the bus
    /// holds at most this and one answer, and answers on their way to clients that read.
    static constexpr std::size_t kMaxBusUnreadBytes = 64 * kMiB;

    /// A client on the bus is asked to prove it reads (a Peer.Ping, whose reply comes after it
    /// has read everything sent before) once this much is unread, or once it lags behind.
    static constexpr std::size_t kPingAfterBytes = 256 * 1024;
    /// How long a ping may go unanswered before it is sent again.
    static constexpr std::chrono::seconds kPingPatience{30};
    /// How often the clients that lag behind are looked at again.
    static constexpr std::chrono::milliseconds kLagCheckPeriod{20};

    /// Why these limits contradict each other, or none.
    const char* contradiction() const {
        if (maxUserUnreadBytes < maxUnreadBytes)
            return "--max-user-unread-size must not be less than --max-unread-size";
        if (maxUserWaitingBytes < maxWaitingBytes)
            return "--max-user-waiting-size must not be less than --max-waiting-size";
        if (maxUnreadBytes < kPingAfterBytes)
            return "--max-unread-size must be 256K or more";
        return nullptr;
    }
};

}  // namespace velkor::daemon
