#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fleet/EtcdOptions.h"
#include "fleet/EtcdTypes.h"
#include "fleet/EtcdWatcher.h"

namespace velkor::fleet {

class EtcdChannels;

/// How long a call goes round the members when none of them serves it.
enum class EtcdRetry {
    /// Round after round, with short pauses (an election may be under way), until the deadline.
    untilDeadline,
    /// One round: each member is tried once, and the call fails when none served it.
    oneRound,
};

/// A synchronous client of an etcd v3 cluster. Every call ends by the deadline its caller
/// gives, with its result or an EtcdError. A call goes to the member that answered last; when
/// that member cannot be reached or has no leader, the call goes on to the next one, round the
/// endpoints until the deadline. A change is sent again to another member only when the first
/// one surely did not receive it, so that no change is ever applied twice. Thread-safe: calls
/// may come from many threads at once.
class EtcdClient {
  public:
    /// Connects lazily: construction fails only on unusable options (EtcdError, rejected).
    explicit EtcdClient(const EtcdOptions& options);
    ~EtcdClient();
    EtcdClient(const EtcdClient&) = delete;
    EtcdClient& operator=(const EtcdClient&) = delete;

    /// Runs `success` when every compare holds, `failure` otherwise, as one atomic transaction.
    EtcdTxnResult txn(const std::vector<EtcdCompare>& compares, const std::vector<EtcdOp>& success,
                      const std::vector<EtcdOp>& failure, EtcdDeadline deadline,
                      EtcdRetry retry = EtcdRetry::untilDeadline);

    /// The key, or every key that starts with `prefix`, at `revision` (0: the newest). Throws
    /// EtcdError (compacted) for a revision older than etcd's compaction.
    EtcdRangeResult get(const std::string& key, EtcdDeadline deadline, int64_t revision = 0);
    EtcdRangeResult getPrefix(const std::string& prefix, EtcdDeadline deadline,
                              int64_t revision = 0);

    /// Sets a key, or removes a key or every key under a prefix; returns the store's revision
    /// after the change.
    int64_t put(const std::string& key, const std::string& value, EtcdDeadline deadline);
    int64_t remove(const std::string& key, EtcdDeadline deadline);
    int64_t removePrefix(const std::string& prefix, EtcdDeadline deadline);

    /// Discards the history before `revision`: watches and reads of older revisions fail.
    void compact(int64_t revision, EtcdDeadline deadline);

    /// Watches every key under `prefix` from `startRevision` on (see EtcdWatcher).
    std::unique_ptr<EtcdWatcher> watch(const std::string& prefix, int64_t startRevision,
                                       EtcdWatcher::Callback callback,
                                       EtcdWatcher::Reach reach = {});

    /// The endpoint of the member that answered last, where the next call starts.
    std::string currentEndpoint() const;

  private:
    EtcdRangeResult range(const std::string& key, const std::string& rangeEnd,
                          EtcdDeadline deadline, int64_t revision);

    std::shared_ptr<EtcdChannels> channels_;
};

}  // namespace velkor::fleet
