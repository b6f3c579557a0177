#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace velkor::daemon {

class ChannelInlet;

/// The bytes of messages that the channels of each user have begun and not finished sending,
/// which sd-bus holds until they are whole. Past `limit` for a user, of the user's large
/// messages only the one begun first goes on being read (the inlets ask only for messages larger
/// than they read at once): the user's channels still make progress one large message at a
/// time, small requests pass meanwhile, and what velkord holds for the user stays below `limit`
/// plus one message plus a read's worth per channel.
class IncompleteMessages {
  public:
    explicit IncompleteMessages(std::size_t limit) : limit_(limit) {}
    IncompleteMessages(const IncompleteMessages&) = delete;
    IncompleteMessages& operator=(const IncompleteMessages&) = delete;

    /// Whether `inlet` may read more now; if not, it is resumed once the user's bytes go down.
    bool mayRead(ChannelInlet& inlet);
    /// `inlet` has read `bytes` more of a message it has not finished.
    void grew(ChannelInlet& inlet, std::size_t bytes);
    /// `inlet` has finished its message, or has ended: the `bytes` it was counted for go.
    void finished(ChannelInlet& inlet, std::size_t bytes);
    /// `inlet` is going: it is resumed no more.
    void forget(ChannelInlet& inlet);

    /// The bytes of incomplete messages of `uid`'s channels.
    std::size_t of(std::uint32_t uid) const;

  private:
    struct User {
        std::size_t bytes = 0;
        /// The inlets with a message begun, in the order they began it.
        std::vector<ChannelInlet*> begun;
        std::vector<ChannelInlet*> paused;
    };
    std::size_t limit_;
    std::unordered_map<std::uint32_t, User> users_;
};

}  // namespace velkor::daemon
