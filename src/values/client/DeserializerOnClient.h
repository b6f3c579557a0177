#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>

#include "internals/Blob.h"
#include "values/DeserializerBase.h"

namespace velkor {

class InnerConnection;
class VKContainer;

/// The decoder of the blobs the daemon sends. It builds client arrays, dictionaries and proxies,
/// attaches children to their parents and registers every container it builds with the
/// connection that received the blob. A blob decodes completely or not at all.
///
/// Counts read from the blob never reserve room for more items than the rest of the blob could
/// hold, and containers nested deeper than `kMaximumNesting` levels are refused, so that no
/// blob can exhaust the memory or the stack of the thread that decodes it.
class DeserializerOnClient final : public DeserializerBase {
  public:
    /// The deepest nesting of arrays and dictionaries that one blob may hold.
    static constexpr int kMaximumNesting = 512;

    /// No decoder when `blob` is not an archive, or without a connection.
    static std::optional<DeserializerOnClient> make(Blob blob,
                                                    std::shared_ptr<InnerConnection> connection);

    /// Decodes one value; logs the failing step and gives none when the blob does not hold one.
    VKObjectPtr decodeVKObject();

    const std::shared_ptr<InnerConnection>& connection() const { return connection_; }

    // ---- For the array and dictionary decoders ------------------------------------------------

    /// What precedes a container's items in the daemon's layout.
    struct ContainerHeader {
        UUID id;
        UUID rootId;
        std::int64_t revision;
        std::int64_t count;
    };
    /// Reads id, root id, revision (any integer) and item count (not negative); none when one of
    /// them is missing or mistyped, or when the id is one this blob has already written in full
    /// (a blob holds each container once, later places refer to it).
    std::optional<ContainerHeader> decodeContainerHeader();

    /// `count`, lowered to the number of items the rest of the blob could hold when each takes at
    /// least `minimumItemBytes` bytes.
    std::size_t boundedCapacity(std::int64_t count, std::size_t minimumItemBytes) const;

    /// Registers a completely decoded container with the connection's registry, which attaches
    /// it to the connection.
    void registerContainer(const std::shared_ptr<VKContainer>& container);

  private:
    DeserializerOnClient(DeserializerBase base, std::shared_ptr<InnerConnection> connection)
        : DeserializerBase(std::move(base)), connection_(std::move(connection)) {}

    VKObjectPtr decodeContainer(VKObjectBase::Kind kind);

    std::shared_ptr<InnerConnection> connection_;
    std::unordered_set<UUID> containersInFull_;
    int nesting_ = 0;  // arrays and dictionaries being decoded around the current item
};

}  // namespace velkor
