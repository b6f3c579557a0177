#pragma once

#include <memory>

#include "utils/Guarded.h"
#include "velkor/VKContainer.h"

namespace velkor {

/// A stand-in for a container whose content has not been fetched: it has the container's id and
/// no items, and once resolved it holds the real container, which points back at it weakly.
class ContainerProxyBase : public VKContainer {
  public:
    /// Lets go of the real container, and clears its link back to this proxy if it still has
    /// one.
    ~ContainerProxyBase() override;

    /// The container this proxy was resolved into, or empty.
    std::shared_ptr<VKContainer> realContainer() const { return realContainer_.load(); }
    /// Records that this proxy was resolved into `real`: keeps it, and links it back to this
    /// proxy (on the parents lock), so that the proxy's parents count as its ancestors.
    void setRealContainer(const std::shared_ptr<VKContainer>& real);

  protected:
    ContainerProxyBase();

  private:
    // Two parents may resolve the same proxy from two threads at once.
    Guarded<std::shared_ptr<VKContainer>> realContainer_;
};

}  // namespace velkor
