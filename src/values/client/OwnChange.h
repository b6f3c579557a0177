#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "internals/ChangeType.h"
#include "velkor/VKContainer.h"

namespace velkor {

struct AppliedChange;

/// One of this client's changes that is sent without the items lock and applied only once the
/// daemon has accepted it. From construction until it is applied or abandoned it counts as in
/// flight, so that reports the daemon ordered after it wait for it; a change that is abandoned
/// (refused, failed, or an exception) releases them when this object goes.
class OwnChange {
  public:
    explicit OwnChange(VKContainer& container);
    ~OwnChange();
    OwnChange(const OwnChange&) = delete;
    OwnChange& operator=(const OwnChange&) = delete;

    /// Applies the accepted change: waits (without locks, until the deadline of the operation
    /// running on this thread) for the reports the daemon ordered before it, then under the
    /// write lock applies them, runs `change`, takes `newRevision` when the verdict is done, and
    /// applies the reports that follow. Reports still missing at the deadline are not waited
    /// for: the change is made all the same and the container is fetched anew later
    /// (ContainerAccess::bringBackLater). An exception of `change` propagates after the rest is
    /// done. A change that a content fetched meanwhile holds already is not made again: then
    /// gives false.
    bool apply(ChangeResult result, std::int64_t newRevision, const std::function<void()>& change);

  private:
    void finish(const std::function<void(std::vector<AppliedChange>&)>& change);

    VKContainer& container_;
    bool finished_ = false;
};

}  // namespace velkor
