#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "internals/Blob.h"
#include "internals/BlobLayout.h"
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
///
/// One id stands for one object in the process: a container the blob holds in full whose id is
/// already live on the connection is not built a second time. The live object is handed out
/// instead and takes the blob's content (with the events a report of the daemon would post)
/// once the whole blob has decoded, unless it already stands at a later revision. A blob that
/// would place a container inside itself or one of its descendants (a reference to a container
/// being decoded, or to a live ancestor of one) is refused: such cycles would never be freed and
/// would make every walk of the tree endless.
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
    /// The root id of the containers the blob holds (they are of one file), read from the
    /// latest container header; all zeros before one is read.
    const UUID& rootId() const { return rootId_; }

    // ---- For the array and dictionary decoders ------------------------------------------------

    /// Reads the header that precedes a container's items ("internals/BlobLayout.h"): id, root
    /// id, revision (any integer) and item count (not negative); none when one of them is
    /// missing or mistyped, or when the id is one this blob has already written in full (a blob
    /// holds each container once, later places refer to it).
    std::optional<blob::DaemonHeader> decodeContainerHeader();

    /// `count`, lowered to the number of items the rest of the blob could hold when each takes at
    /// least `minimumItemBytes` bytes.
    std::size_t boundedCapacity(std::int64_t count, std::size_t minimumItemBytes) const;

    /// What stands for a completely decoded container: the live container of that id, which
    /// takes its content when the blob has decoded, or else the container itself, registered
    /// with the connection's registry (which attaches it). None (logged) when the live one is
    /// of another kind or placing it here would close a cycle.
    std::shared_ptr<VKContainer> completeContainer(const std::shared_ptr<VKContainer>& container);

    /// Whether the container `id` (live as `live`, if it is) may stand at the current place of
    /// the blob: false, logged, when it is a container being decoded around this place or a
    /// live ancestor of one.
    bool mayPlace(const UUID& id, const std::shared_ptr<VKContainer>& live = nullptr);

  private:
    DeserializerOnClient(DeserializerBase base, std::shared_ptr<InnerConnection> connection)
        : DeserializerBase(std::move(base)), connection_(std::move(connection)) {}

    VKObjectPtr decodeValue();
    VKObjectPtr decodeContainer(VKObjectBase::Kind kind);
    void applyAdoptions();

    // A live container and the freshly decoded one whose content it takes.
    struct Adoption {
        std::shared_ptr<VKContainer> live;
        std::shared_ptr<VKContainer> fresh;
    };

    std::shared_ptr<InnerConnection> connection_;
    std::unordered_set<UUID> containersInFull_;
    std::vector<UUID> inProgress_;  // ids of the containers being decoded around the current item
    std::vector<Adoption> adoptions_;
    UUID rootId_;
    int nesting_ = 0;  // arrays and dictionaries being decoded around the current item
    int depth_ = 0;    // decodeVKObject calls in progress
};

}  // namespace velkor
