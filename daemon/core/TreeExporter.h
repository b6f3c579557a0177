#pragma once

#include <cstdint>
#include <vector>

#include "core/ContainerStore.h"

namespace velkor::daemon {

/// Builds the blobs of fetch and resolve answers from the store, in the layout the daemon sends.
///
/// A container is written in full; its sub-containers are written as proxies, or, when the
/// fetch is recursive, in full too, each container once (a container reached a second time,
/// through another parent, is written as a proxy, and so is one deeper than a blob may nest:
/// `BlobDecoder::maxNesting` levels, which clients' decoders take too). The walk keeps its own
/// stack, so however deep a stored tree is, building its answer cannot overflow the thread's
/// stack.
class TreeExporter {
  public:
    explicit TreeExporter(ContainerStore& store) : store_(store) {}

    /// The blob holding `top`; the id of every container written in full is appended to
    /// `writtenInFull`. Throws `VKError(invalidFileData)` for stored rows that make no sense,
    /// and as soon as the blob passes `maxBytes`, without building the rest.
    std::vector<std::uint8_t> exportContainer(const ContainerRecord& top, bool recursive,
                                              std::vector<UUID>& writtenInFull,
                                              std::size_t maxBytes);

    /// The blob holding one scalar item.
    static std::vector<std::uint8_t> exportScalar(const StoredItem& item);

  private:
    ContainerStore& store_;
};

}  // namespace velkor::daemon
