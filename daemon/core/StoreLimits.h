#pragma once

#include <cstddef>

namespace velkor::daemon {

/// The store's bounds on what a client may keep and be sent, so that no answer or notice can
/// outgrow what the bus carries in one message (32 MiB on a default dbus-daemon).
struct StoreLimits {
    static constexpr std::size_t kMiB = 1024 * 1024;

    /// The most a bus carries in one message (dbus-daemon's default `max_message_size` on the
    /// system bus); a larger message makes the bus drop the sender's connection.
    static constexpr std::size_t kBusMessageBytes = 32 * kMiB;
    /// The largest `maxAnswerBytes` allowed: the bus's limit less room for what a message
    /// carries besides the answer (its header, the tag, the encoding of the records).
    static constexpr std::size_t kMaxAnswerLimit = kBusMessageBytes - 64 * 1024;

    /// The largest size of a settings file, counted as `StoredSize` counts it: a bound on the
    /// answer that sends the whole file. A create or change that would make a file larger (and
    /// larger than it was) is refused with `invalidData`.
    std::size_t maxFileBytes = 24 * kMiB;
    /// The largest answer or notice the store gives: blobs, keys and paths. A fetch whose answer
    /// would be larger is answered `invalidFileData`; a notice that would be larger is replaced
    /// by `containerAbandoned` records (see `SettingsStore`).
    std::size_t maxAnswerBytes = 30 * kMiB;
    /// The most containers one create or change may write in full (`invalidData` past it):
    /// storing each takes tens of microseconds, during which nobody else is served.
    std::size_t maxContainersPerRequest = 2048;
    /// The most containers one settings file may hold, refused like `maxFileBytes`: sending or
    /// deleting a whole file takes time in its number of containers (several microseconds
    /// each), during which nobody else is served.
    std::size_t maxFileContainers = 4096;
    /// The largest total size of one user's settings files, counted as `maxFileBytes` counts
    /// each: a create or change that would make it larger (and larger than it was) is refused
    /// with `invalidData`, so that one local user cannot fill the disk that holds everybody's
    /// settings. Root's own requests are not bounded by it.
    std::size_t maxUserBytes = 256 * kMiB;
    /// The most settings files one user may have: a create past it is refused with
    /// `invalidData`. Each file costs the store hundreds of bytes on disk and a row in memory
    /// (see `StoreSchema`) that `maxUserBytes`, at 64 bytes for an empty file, does not bound.
    /// Root's own requests are not bounded by it.
    std::size_t maxUserFiles = 65536;
    /// The most containers the clients of one user may hold, and subscription flags they may
    /// keep, together (see `ClientHoldings`): a request of theirs that would add more is refused
    /// with `serverError`. Each takes about 65 bytes of memory, for as long as its client stays,
    /// so without a bound one user's clients could each hold every container the user size
    /// allows. Root's own requests are not bounded by it.
    std::size_t maxUserHoldings = 262144;
    /// The most keys the merge rule's windows record, over all dictionaries (see `MergeWindow`):
    /// about 3 MiB of memory.
    std::size_t maxMergeKeys = 65536;
};

}  // namespace velkor::daemon
