#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/ContainerStore.h"
#include "core/IncomingTree.h"
#include "core/StoredItem.h"
#include "velkor/UUID.h"

namespace velkor::fleet {

/// The values of fleet keys (see `FleetKeys`). A container is kept in the layout clients write
/// (kind, id, revision, subscription flag 0, items), its sub-containers as references, so that
/// the same hardened reader that takes clients' blobs reads what another machine wrote. A head
/// holds the file's root id (16 bytes).
class FleetCodec {
  public:
    FleetCodec() = delete;

    static std::string encodeContainer(const daemon::ContainerRecord& container,
                                       const std::vector<daemon::StoredItem>& items);
    /// The container a value holds, with views into `value`. Throws `VKError(invalidData)`
    /// for a value that is not exactly one array or dictionary written in full.
    static daemon::IncomingTree decodeContainer(std::string_view value);

    static std::string encodeHead(const UUID& root);
    /// Throws `VKError(invalidData)` for a value that is not a root id.
    static UUID decodeHead(std::string_view value);
};

}  // namespace velkor::fleet
