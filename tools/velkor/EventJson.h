#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "velkor/VKContainer.h"
#include "velkor/VKContainerChange.h"

namespace velkor::cli {

/// The JSON line that `watch` prints for one change event of a container:
///
///     {"event":"didDictionaryChildAdd","path":"window","key":"width","value":640}
///     {"event":"didArrayChildReplace","path":"recent","index":0,"old":"a.txt","value":"b.txt"}
///     {"event":"didDictionaryChildRemove","path":"","key":"theme","old":"dark"}
///     {"event":"didDescendantChange","path":"window/size","value":[640,480]}
///     {"event":"didRemoveAll","path":"recent"}
///     {"event":"didDelete","path":""}
///
/// "path" is the place of the container that changed ("" for the root); "value" is the new
/// value, "old" the replaced or removed one (null when the library could not tell it). The new
/// value of a replacement and the container of a didDescendantChange are read when the line is
/// made, so they may already show later changes.
class EventJson {
  public:
    EventJson() = delete;

    /// The line for `change`, an event of `container`, which stands at `containerPath`. Reads
    /// values as JsonMapping::toJson does (the library's errors propagate).
    static nlohmann::json line(const VKContainerChange& change, const VKContainerPtr& container,
                               const std::string& containerPath);
};

}  // namespace velkor::cli
