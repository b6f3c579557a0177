#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Session.h"
#include "SettingsPath.h"
#include "velkor/Settings.h"
#include "velkor/Subscription.h"
#include "velkor/VKContainer.h"
#include "velkor/VKContainerChange.h"
#include "velkor/VKOwnership.h"

namespace velkor::cli {

/// `watch`: prints one line of JSON (see EventJson) per change of the value at a path, flushed
/// as each change arrives, until SIGINT or SIGTERM.
///
/// For a container it prints the container's own events and, for the containers below it, the
/// root's didDescendantChange events; for a scalar, the events of its container that concern
/// its key or index; a value that does not exist (yet) is watched that way too, as long as its
/// container exists. Keys are matched under canonical equivalence, so a path may spell them in
/// any Unicode normalisation form. The file is held by a velkor::Settings handle: each time the
/// handle reopens it (after the daemon restarted) the value is looked up again in the new root
/// and followed on; while the daemon is away it waits. Changes made while the daemon was away are
/// not replayed.
///
/// Notes for people go to a second stream, each on a line of its own starting "velkor: ", among
/// them "velkor: watching DOMAIN [PATH]" each time the value is being followed (again): from
/// then on every change made by another client is printed; and, once per loss of the
/// connection, that it was lost and the watch waits.
class Watcher {
  public:
    /// Blocks SIGINT and SIGTERM in the calling thread and so in every thread it starts later.
    /// Call it before creating the Session, so that run() receives them and no library thread
    /// does.
    static void blockStopSignals();

    Watcher(Session& session, std::string domain, SettingsPath path, VKOwnership ownership,
            std::ostream& out, std::ostream& notes);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    /// Watches until SIGINT or SIGTERM (blocked, see blockStopSignals) arrives. Throws
    /// CommandError when the daemon cannot be reached at the start (connection), when the value
    /// cannot be opened for another reason than a lost connection (no such file or path, refused
    /// access), once it has been deleted (notFound, after its didDelete line) and as soon as a
    /// line cannot be written to the output stream (refused, "cannot write to standard
    /// output").
    void run();

  private:
    struct State;
    using Filter = std::function<bool(const VKContainerChange&)>;

    void attach(const VKDictionaryPtr& root);
    void detach();
    void observe(const VKContainerPtr& container, const SettingsPath& containerPath, Filter filter);

    Session& session_;
    std::string domain_;
    SettingsPath path_;
    VKOwnership ownership_;
    std::shared_ptr<State> state_;
    int signalFd_ = -1;
    SettingsPtr settings_;
    Subscription following_;            // the handle's events: the root's changes, reloads
    VKDictionaryPtr root_;              // the root the value was looked up in
    std::vector<VKContainerPtr> held_;  // the observed containers below the root stay alive
    std::vector<Subscription> subscriptions_;
};

}  // namespace velkor::cli
