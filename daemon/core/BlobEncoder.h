#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "core/IncomingTree.h"
#include "core/ValueKind.h"

namespace velkor::daemon {

/// Writes one value in the layout the daemon sends to clients ("internals/BlobLayout.h"):
/// containers in full with a DaemonHeader and their items, or as proxies (references) that the
/// client resolves when it needs them.
///
/// An encoder builds one blob and is not shared between threads.
class BlobEncoder {
  public:
    void encodeNumber(std::int64_t value);
    void encodeString(std::string_view text);
    void encodeData(std::span<const std::uint8_t> bytes);
    void encodeProxy(const UUID& id);
    /// The items of the container follow: for a dictionary each key (`encodeKey`) then its value.
    void encodeContainerHeader(ValueKind kind, const UUID& id, const UUID& rootId,
                               std::int64_t revision, std::int64_t count);
    void encodeKey(std::string_view key);

    /// Writes a value a client sent, with `rootId` as the root of every container in it: the
    /// containers it wrote in full are written in full, its references as proxies.
    void encodeIncoming(const IncomingTree& tree, const IncomingValue& value, const UUID& rootId);

    /// The size of the blob built so far.
    std::size_t size() const { return writer_.archiverData().size(); }

    /// The blob built so far.
    std::vector<std::uint8_t> take() { return writer_.takeArchiverData(); }

  private:
    basalt::ArchiveWriter writer_;
};

}  // namespace velkor::daemon
