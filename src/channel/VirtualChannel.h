#pragma once

#include "internals/Tagged.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/Observer.h"

namespace velkor {

/// An in-process, two-way channel of tagged messages: the owner pushes outgoing messages into it
/// (it is an observer of them) and reads incoming ones from `events()`.
template <typename Outgoing, typename Incoming>
class VirtualChannel : public rx::Observer<Tagged<Outgoing>> {
  public:
    using OutgoingMessage = Outgoing;
    using IncomingMessage = Incoming;

    /// The incoming messages; completes when the far side goes away.
    virtual rx::Observable<Tagged<Incoming>> events() = 0;
    /// The tags of incoming messages that arrived but could not be read, so that whoever waits
    /// for one of them fails at once instead of waiting for an answer that will not come.
    virtual rx::Observable<UUID> unreadableEvents() = 0;
};

}  // namespace velkor
