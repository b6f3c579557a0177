#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "internals/ChangeType.h"
#include "internals/KeyedArchive.h"
#include "velkor/UUID.h"

namespace velkor {

/// The record of one change to one container. The library sends one with every update; the
/// daemon pushes them to the other clients that hold the container.
class VKChangeNotification {
  public:
    VKChangeNotification(ChangeType type, const UUID& id, std::int64_t revision, std::int64_t from,
                         std::int64_t to, std::string key, std::vector<std::uint8_t> data);

    /// Reads a record from a keyed archive. A missing or invalid "type", or a missing "id", gives
    /// no record and logs "Can't decode properties of VKChangeNotification."; missing integers
    /// read as 0, a missing key or data as empty.
    static std::shared_ptr<VKChangeNotification> decode(const KeyedArchiveReader& coder);

    /// Writes the seven keys in order: type, id, revision, from, to, key, data.
    void encode(KeyedArchiveWriter& coder) const;

    /// The case name of the type, e.g. "childInserted".
    std::string description() const;

    ChangeType type;
    UUID id;
    std::int64_t revision;
    std::int64_t from;
    std::int64_t to;
    std::string key;
    std::vector<std::uint8_t> data;

    friend bool operator==(const VKChangeNotification&, const VKChangeNotification&) = default;
};

using ChangeNotificationPtr = std::shared_ptr<const VKChangeNotification>;

}  // namespace velkor
