#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velkor/Connect.h"
#include "velkor/Subscription.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/VKContainerChange.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"
#include "velkor/VKOwnership.h"

namespace velkor {

/// The settings file of one domain and ownership, kept open for as long as the handle lives,
/// across daemon restarts: for applications that just want their settings.
///
///     auto settings = velkor::Settings::open(velkor::ConnectionOptions{}, "org.example.app");
///     velkor::Subscription watching = settings->observe([](const velkor::Settings::Event& e) {
///         if (auto* reloaded = std::get_if<velkor::Settings::Reloaded>(&e)) { /* re-read */ }
///     });
///     if (auto root = settings->current()) { /* read and change it */ }
///
/// The handle follows a connection monitor: when the daemon goes away it drops the file (current()
/// gives nothing), and when the monitor publishes a new connection it opens the file again through
/// it and keeps every observer subscribed to the new root. The file's root is a dictionary; a file
/// whose root is an array is refused with invalidData. The whole file is read at each opening, so
/// that what changed meanwhile can be told without the daemon. A file deleted by another client
/// posts didDelete (its old root stays detached) and is created again, empty, reported as
/// Reloaded; with IfMissing::fail it is closed instead (current() gives nothing) until the
/// monitor's next connection.
///
/// Observers are called one at a time, in the order the events happened, on the library's threads
/// (the connection's or the monitor's scheduler), never while the handle holds a lock: they may
/// call the handle, read and change the settings. Safe to use from several threads at once.
class Settings {
  public:
    /// What to do when the file does not exist (at open or at a reopen).
    enum class IfMissing {
        create,  ///< create it as an empty dictionary
        fail,    ///< fail with fileDoesNotExist
    };

    /// The file was opened again after the daemon came back (or opened for the first time, when
    /// the daemon was away when the handle was made). The keys of the root are compared with the
    /// content the handle held before; each key is in at most one list.
    struct Reloaded {
        std::shared_ptr<VKDictionary> root;  ///< the new root, as current() gives it
        std::vector<std::string> added;      ///< keys that are new
        std::vector<std::string> removed;    ///< keys that are gone
        /// Keys whose value differs, compared in depth (a sub-tree that was never fetched counts
        /// as unchanged when it is the same container).
        std::vector<std::string> changed;
    };

    /// The file is not followed any more: the daemon went away (no error; current() gives
    /// nothing), opening it again failed with `error` (connectionLost or cannotConnect while the
    /// daemon is not back yet; anything else, such as fileDoesNotExist, is likely to fail again),
    /// or the root's changes could not be followed (`error` from the root's stream: the daemon
    /// could not be told of the observers, and observing the root again failed as well). The
    /// handle opens the file again when the monitor publishes its next connection.
    struct Lost {
        std::optional<VKError> error;
    };

    /// What observers receive: a change of the root, exactly as the root's own observers get it
    /// (another client's change, didDescendantChange for changes further down, didDelete when the
    /// file was deleted), or one of the handle's own events.
    using Event = std::variant<VKContainerChange, Reloaded, Lost>;
    using Observer = std::function<void(const Event&)>;

    /// Opens the file of `domain` and `ownership` through the connections that `monitor`
    /// publishes. A daemon that cannot be reached now is no error: the file is opened when it
    /// comes. Throws VKError when the daemon refuses to open it (fileDoesNotExist with
    /// IfMissing::fail, a refused access, a root that is not a dictionary: invalidData), and
    /// invalidData for an empty domain or monitor.
    static std::shared_ptr<Settings> open(VKConnectionMonitorPtr monitor, std::string domain,
                                          VKOwnership ownership = VKOwnership::realUser(),
                                          IfMissing ifMissing = IfMissing::create);
    /// As above through a monitor of its own (makeMonitor with `options`), which ends with the
    /// handle.
    static std::shared_ptr<Settings> open(const ConnectionOptions& options, std::string domain,
                                          VKOwnership ownership = VKOwnership::realUser(),
                                          IfMissing ifMissing = IfMissing::create);

    /// Disposes the handle.
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    const std::string& domain() const;
    VKOwnership ownership() const;

    /// The root of the open file, or nothing while it is not open (the daemon is away, or the
    /// file was deleted).
    std::shared_ptr<VKDictionary> current() const;

    /// Calls `observer` with every later event until the returned Subscription ends; it stays
    /// subscribed across reopens. A call already under way on another thread may still finish
    /// after the Subscription ended.
    Subscription observe(Observer observer);

    /// Stops following the monitor and ends every observer's subscription; the monitor of the
    /// options form is disposed too. Waits for nothing but the monitor of the options form when
    /// it is reopening the file on another thread. Idempotent.
    void dispose();

  private:
    struct Core;
    explicit Settings(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

using SettingsPtr = std::shared_ptr<Settings>;

}  // namespace velkor
