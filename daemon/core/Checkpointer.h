#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/Database.h"

namespace velkor::daemon {

/// Copies the store's write-ahead log back into the database on a thread and connection of its
/// own, so that the syncs a checkpoint waits for (milliseconds each on a disk) do not hold up
/// the thread that commits, and with it every client.
///
/// After each commit, the writer's connection reports the log's length. Once
/// `Thresholds::background` frames have been added since the last copy, the thread is woken
/// and copies them (a passive checkpoint: it waits for nobody). SQLite starts the log afresh at
/// the first commit that finds all of it copied. Under a steady stream of commits that moment
/// may not come, so once the log holds `Thresholds::inlineAt` frames the committing thread
/// copies the rest itself, as SQLite would by default, and the next commit starts the log
/// afresh.
///
/// Durability is unchanged: a commit reaches the log (and, with `Durability::full`, the disk)
/// before it is answered, whichever thread copies it on.
class Checkpointer {
  public:
    struct Thresholds {
        /// New frames in the log that wake the thread (SQLite's default checkpoint length).
        int background = 1000;
        /// Frames in the log past which the committing thread copies the rest itself.
        int inlineAt = 8000;
    };

    /// Watches the commits of `writer`, the store's connection to the database at `path`, and
    /// starts the thread with a connection of its own. Throws `DatabaseError`.
    Checkpointer(Database& writer, const std::string& path, Durability durability,
                 Thresholds thresholds);
    /// Stops the thread after the copy it is making, if any.
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

  private:
    /// On the committing thread, after each commit, inside SQLite: nothing may be thrown.
    void committed(int frames) noexcept;
    void run();
    /// Whether `Thresholds::background` frames wait to be copied.
    bool behind() const;

    Database& writer_;
    Database own_;
    const Thresholds thresholds_;
    /// The log's length after the last commit, and how much of it the last checkpoint copied,
    /// whichever thread ran it.
    std::atomic<int> frames_{0};
    std::atomic<int> copied_{0};
    std::mutex mutex_;
    std::condition_variable wanted_;
    bool pending_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace velkor::daemon
