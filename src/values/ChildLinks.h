#pragma once

#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"

namespace velkor {

/// The parent bookkeeping shared by the mutation primitives of arrays and dictionaries. Only
/// values that are client containers take part; scalars have no parents.
class ChildLinks {
  public:
    ChildLinks() = delete;

    /// Records one placement of `value` into `parent`, with or without the root and cycle checks
    /// (whose VKError propagates).
    static void attach(VKContainer& parent, const VKObjectPtr& value, bool withChecks);

    /// Undoes one placement of `value` into `parent`.
    static void detach(const VKContainer& parent, const VKObjectPtr& value);

    /// Puts `value` in `slot` of `parent` in place of the value there (not empty), by the rules
    /// of VKArrayBase::setInternal.
    static ItemMutation replace(VKContainer& parent, VKObjectPtr& slot, VKObjectPtr value);
};

}  // namespace velkor
