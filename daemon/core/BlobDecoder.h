#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/IncomingTree.h"

namespace velkor::daemon {

/// Reads a blob in the layout clients write: exactly one value, whose containers are written in
/// full (kind, id, revision, subscription flag, count, items) or as references (kind 5, id).
///
/// Refused with `invalidData`: a blob larger than `maxBlobSize`, anything that is not such an
/// archive, a missing or mistyped item, an unknown kind, a zero or malformed id, a negative
/// revision or count, a subscription flag other than 0 or 1, a key repeated in one dictionary, a
/// container written in full twice or after being referenced, containers nested deeper than
/// `maxNesting`, items left over after the value, and a reference to a container not written
/// earlier in the blob when `References::sameBlobOnly`. A reference to a container that is still
/// being written (one of its own ancestors) is refused with `circularReferences`.
///
/// The reader never reads past the end of the blob and never reserves room for more items than
/// the blob could hold: containers grow as their items are actually read.
class BlobDecoder {
  public:
    BlobDecoder() = delete;

    static constexpr std::size_t maxBlobSize = 16 * 1024 * 1024;
    static constexpr int maxNesting = 512;

    enum class References {
        /// Every reference names a container written earlier in the same blob (a new file).
        sameBlobOnly,
        /// References may also name containers already stored (a value placed by an update).
        allowOutside,
    };

    /// The tree the blob holds; its views point into `blob`. Throws `VKError`, also as soon as
    /// the blob writes more than `maxContainers` containers in full.
    static IncomingTree decode(std::span<const std::uint8_t> blob, References references,
                               std::size_t maxContainers = SIZE_MAX);

    /// Whether `text` can travel as a text item: the check every reader of blobs makes (UTF-8
    /// without overlong forms or surrogates). A dictionary key that fails it would make every
    /// answer holding it unreadable.
    static bool isText(std::string_view text);
};

}  // namespace velkor::daemon
