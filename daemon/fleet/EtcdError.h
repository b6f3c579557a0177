#pragma once

#include <stdexcept>
#include <string>

namespace velkor::fleet {

/// A failed etcd call. `kind()` says what went wrong; `maybeApplied()` says whether a change may
/// have committed although its answer never came (the request reached a member before the
/// connection broke or the deadline passed), so that the owner relies on the watch, not on the
/// failure, to learn the outcome. velkord answers every kind as a server error.
class EtcdError : public std::runtime_error {
  public:
    enum class Kind {
        /// No member could serve the call before its deadline: connection refused, no leader.
        unavailable,
        /// The deadline passed while a member was working on the call.
        timeout,
        /// The revision asked for is older than etcd's compaction.
        compacted,
        /// Authentication failed or the user may not do this.
        denied,
        /// etcd refused the request as malformed or too large, or the options are unusable.
        rejected,
        /// etcd's database is over its space quota: it refuses every write (reads and
        /// deletions still work) until its history is compacted, its members defragmented and
        /// its NOSPACE alarm disarmed.
        full,
    };

    EtcdError(Kind kind, const std::string& message, bool maybeApplied = false);

    Kind kind() const { return kind_; }
    bool maybeApplied() const { return maybeApplied_; }

  private:
    Kind kind_;
    bool maybeApplied_;
};

}  // namespace velkor::fleet
