#pragma once

#include <cstddef>
#include <string>

#include "CommandError.h"
#include "SettingsPath.h"
#include "velkor/VKObjectBase.h"

namespace velkor::cli {

/// Steps through the containers of an open settings file along a SettingsPath, fetching
/// containers not fetched yet as it goes. A part names a key in a dictionary and a decimal index
/// in an array; anything else is "no value at the path" (CommandError, notFound, with the
/// pathDoesNotExist texts and what exactly was missing).
class PathWalk {
  public:
    PathWalk() = delete;

    /// The item named by part `step` of `path` in `value`, which stands at `path.prefix(step)`;
    /// empty when `value` is a dictionary without that key.
    static VKObjectPtr child(const VKObjectPtr& value, const SettingsPath& path, std::size_t step);

    /// Stores `item` at the last part of `path` in `value`, which stands at its parent: under
    /// the key of a dictionary, or at an index of an array (its count appends).
    static void store(const VKObjectPtr& value, const SettingsPath& path, VKObjectPtr item);

    /// Removes the item at the last part of `path` from `value`, which stands at its parent.
    static void remove(const VKObjectPtr& value, const SettingsPath& path);

    /// The error for a path whose part `step` names nothing, `reason` saying why.
    static CommandError noValue(const SettingsPath& path, std::size_t step,
                                const std::string& reason);
};

}  // namespace velkor::cli
