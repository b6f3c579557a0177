#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "fleet/EtcdTypes.h"

namespace velkor::fleet {

class EtcdChannels;

/// One etcd watch on every key under a prefix, from a start revision on, run on a thread of its
/// own that hands every update to the callback in revision order. When the stream breaks (its
/// member stopped, lost its leader, or refused the token), the watch resumes on the next member
/// from the first revision it has not delivered, so that no change is lost or repeated. When
/// etcd has compacted that revision away, the callback hears of it (an update with
/// `compactRevision`) and the watch ends: the owner reads afresh and watches anew.
///
/// The watch asks for members that have a leader, so it also tells whether etcd is reachable
/// when nothing else calls it: `reach` hears `true` each time a stream is set up, and `false`
/// with the last failure once every member in turn has failed since.
class EtcdWatcher {
  public:
    using Callback = std::function<void(const EtcdWatchUpdate& update)>;
    using Reach = std::function<void(bool reachable, const std::string& why)>;

    /// Starts watching; `startRevision` 0 means the changes after the current revision.
    EtcdWatcher(std::shared_ptr<EtcdChannels> channels, const std::string& prefix,
                int64_t startRevision, Callback callback, Reach reach = {});
    /// Stops the watch (see stop()).
    ~EtcdWatcher();
    EtcdWatcher(const EtcdWatcher&) = delete;
    EtcdWatcher& operator=(const EtcdWatcher&) = delete;

    /// Cancels the stream and waits, a few seconds at most, for the thread to end; the callback
    /// is not called after stop() returns unless it was already running then and outlasted
    /// that wait. Idempotent; from within the callback it only asks the thread to end.
    void stop();

    /// The first revision not yet delivered: where the watch resumes after a break.
    int64_t nextRevision() const;
    /// The endpoint of the member the watch is on, or is about to try.
    std::string endpoint() const;
    /// Whether the watch has ended, by stop() or by a compaction.
    bool ended() const;

  private:
    struct State;

    static void run(const std::shared_ptr<State>& state);
    static bool watchOnce(State& state, bool& created, std::string& why);

    // Shared with the thread, so that a thread that outlasts stop()'s wait still finds it.
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace velkor::fleet
