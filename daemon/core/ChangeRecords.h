#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "internals/ChangeNotification.h"

namespace velkor::daemon {

/// Builds the change records the daemon sends. Each carries the container's id and its revision
/// after the change; the fields a type does not use are 0 or empty.
class ChangeRecords {
  public:
    ChangeRecords() = delete;

    static ChangeNotificationPtr make(ChangeType type, const UUID& id, std::int64_t revision,
                                      std::int64_t from = 0, std::int64_t to = 0,
                                      std::string key = {}, std::vector<std::uint8_t> data = {}) {
        return std::make_shared<const VKChangeNotification>(type, id, revision, from, to,
                                                            std::move(key), std::move(data));
    }
};

}  // namespace velkor::daemon
