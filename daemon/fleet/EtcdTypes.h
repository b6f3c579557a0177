#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velkor::fleet {

/// Every etcd call ends by this point in time, failed or not.
using EtcdDeadline = std::chrono::steady_clock::time_point;

/// The first key after every key that starts with `prefix`: the exclusive end of a prefix
/// range ("\0" for the empty prefix, meaning all keys).
std::string etcdPrefixEnd(const std::string& prefix);

/// A key with its value and revisions, as stored.
struct EtcdKeyValue {
    std::string key;
    std::string value;
    /// Revision of the key's creation and of its last change (for a deletion event, of the
    /// deletion).
    int64_t createRevision = 0;
    int64_t modRevision = 0;
    /// Changes since creation.
    int64_t version = 0;

    bool operator==(const EtcdKeyValue&) const = default;
};

/// One condition of a transaction, on a key's current state. An absent key has version,
/// create and mod revision 0.
struct EtcdCompare {
    enum class Target { version, createRevision, modRevision, value };
    enum class Result { equal, greater, less, notEqual };

    std::string key;
    Target target = Target::modRevision;
    Result result = Result::equal;
    /// The number compared with, for every target but `value`.
    int64_t number = 0;
    std::string value;

    /// The key's last change is exactly at `revision` (0: the key is absent).
    static EtcdCompare modRevisionIs(const std::string& key, int64_t revision);
    /// The key does not exist.
    static EtcdCompare absent(const std::string& key);

    bool operator==(const EtcdCompare&) const = default;
};

/// One operation of a transaction.
struct EtcdOp {
    enum class Type { range, put, deleteRange };

    Type type = Type::range;
    std::string key;
    /// Exclusive end of the range for `range` and `deleteRange`; empty for the single key.
    std::string rangeEnd;
    std::string value;

    static EtcdOp get(const std::string& key);
    static EtcdOp getPrefix(const std::string& prefix);
    static EtcdOp put(const std::string& key, const std::string& value);
    static EtcdOp remove(const std::string& key);
    static EtcdOp removePrefix(const std::string& prefix);

    bool operator==(const EtcdOp&) const = default;
};

/// What one operation of a transaction found: the keys a range read, how many keys a deletion
/// removed.
struct EtcdOpResult {
    std::vector<EtcdKeyValue> kvs;
    int64_t deleted = 0;
};

/// A committed transaction: whether the compares held (the success operations ran) or not (the
/// failure ones ran), the store's revision after it, and one result per operation that ran.
struct EtcdTxnResult {
    bool succeeded = false;
    int64_t revision = 0;
    std::vector<EtcdOpResult> results;
};

/// The keys of a range, sorted by key, and the store's revision they were read at.
struct EtcdRangeResult {
    int64_t revision = 0;
    std::vector<EtcdKeyValue> kvs;
};

/// One change seen by a watch.
struct EtcdEvent {
    enum class Type { put, remove };

    Type type = Type::put;
    /// The key after the change; for a removal, the key with `modRevision` the revision of the
    /// removal and no value.
    EtcdKeyValue kv;
};

/// What a watch delivers: changes in revision order, each revision's changes together; or,
/// with no events, that nothing changed up to `revision`; or that the history the watch needed
/// was compacted (`compactRevision` > 0), after which the watch has ended.
struct EtcdWatchUpdate {
    /// Every change up to this revision has been delivered, by this update and those before it:
    /// a watch resumed after it misses nothing. The last event's revision, or for an update
    /// without events the store's revision when etcd sent it. (etcd's own header revision of an
    /// update with events can be later than what it delivered, when a watch far behind gets
    /// the changes since in several updates.)
    int64_t revision = 0;
    std::vector<EtcdEvent> events;
    /// When non-zero, the oldest revision etcd still holds: changes between the watch's next
    /// revision and this one are lost, and the owner must read the keys afresh and watch anew.
    int64_t compactRevision = 0;
};

}  // namespace velkor::fleet
