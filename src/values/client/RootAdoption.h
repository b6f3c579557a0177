#pragma once

#include <memory>

#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"

namespace velkor {

/// A container of no settings file that is placed into one takes that file's root id. When the
/// daemon refuses the placement, the change is undone, and the container must be of no file
/// again: with the root id but no connection it could never be placed into that file again.
/// This remembers, before the placement, whether the value is such a container.
class RootAdoption {
  public:
    explicit RootAdoption(const VKObjectPtr& value) {
        auto container = detail::ContainerAccess::asClientContainer(value);
        if (container && container->rootId().isZero()) {
            container_ = std::move(container);
        }
    }

    /// Gives the container back the root id of no file.
    void undo() const {
        if (container_) {
            detail::ContainerAccess::setRootId(*container_, UUID::zero());
        }
    }

  private:
    std::shared_ptr<VKContainer> container_;
};

}  // namespace velkor
