#pragma once

namespace velkor::daemon {

/// How hard a commit works to survive a crash. Both settings keep the store in write-ahead-log
/// mode.
enum class Durability {
    /// Every commit is synced to disk before the request is answered: a change that was answered
    /// as accepted survives a power loss.
    full,
    /// Commits reach the operating system before the answer and are synced at checkpoints: an
    /// accepted change survives a crash of the daemon, a power loss may take the last ones.
    normal,
};

}  // namespace velkor::daemon
