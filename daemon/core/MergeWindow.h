#pragma once

#include <cstdint>
#include <string_view>

#include "core/Database.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// What the merge rule needs to know of recent changes to dictionaries.
///
/// The rule: a change to one key of a dictionary, made against an older revision than the
/// current one, is merged when no other client has changed that key since that revision. To
/// decide it, each dictionary changed since the daemon started has a window that starts at a
/// revision (`since`) and records, per key changed inside the window, the last revision that
/// changed it, its writer, and the last revision at which any other writer changed it. A change
/// made against a revision before the window's start cannot be judged and is not merged: the
/// answer is then a conflict, which is always safe (the client undoes its change and learns the
/// current state from the notifications it receives).
///
/// Removing all entries restarts the window at the new revision, and so does a window that
/// has recorded `maxKeys` keys; keys are recorded by a hash, whatever their length, so a
/// window's memory stays bounded. The windows of all dictionaries record at most
/// `StoreLimits::maxMergeKeys` keys together (about 50 bytes each): past it, the windows changed
/// least recently are dropped, so that a user who changes many dictionaries cannot grow the daemon
/// without bound. Windows live in memory, die with the daemon and change inside the request's
/// transaction.
class MergeWindow {
  public:
    static constexpr std::int64_t maxKeys = 4096;

    MergeWindow(Database& db, std::int64_t maxKeysInAll) : db_(db), maxKeysInAll_(maxKeysInAll) {}

    /// Whether `writer`'s change of `key` in `dictionary`, made against `revision`, may be
    /// merged. Only asked for revisions older than the current one.
    bool mayMerge(const UUID& dictionary, std::string_view key, std::string_view writer,
                  std::int64_t revision);

    /// Records that `writer` changed `key`, taking the dictionary from `oldRevision` to
    /// `newRevision`.
    void recordKeyChange(const UUID& dictionary, std::string_view key, std::string_view writer,
                         std::int64_t oldRevision, std::int64_t newRevision);

    /// Starts the dictionary's window afresh at `revision`, forgetting every key.
    void restart(const UUID& dictionary, std::int64_t revision);

    void forgetContainer(const UUID& container);
    void forgetFile(const UUID& root);

  private:
    /// Marks `dictionary`'s window as the one changed last.
    void touch(const UUID& dictionary);
    /// Drops the windows changed least recently, other than `kept`'s, while more than
    /// `maxKeysInAll_` keys are recorded.
    void keepWithinBound(const UUID& kept);

    Database& db_;
    const std::int64_t maxKeysInAll_;
    // Orders the windows by their last change; only its order matters.
    std::int64_t touches_ = 0;
};

}  // namespace velkor::daemon
