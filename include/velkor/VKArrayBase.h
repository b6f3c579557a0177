#pragma once

#include <cstddef>
#include <vector>

#include "velkor/VKContainer.h"

namespace velkor {

/// The storage of an array: its items in index order. Every change of the items goes through
/// the library, which keeps the children's parent sets right.
class VKArrayBase : public VKContainer {
  public:
    /// Detaches every child, so that none keeps a parent entry for this array.
    ~VKArrayBase() override;

  protected:
    /// An empty array with room for `minimumCapacity` items.
    explicit VKArrayBase(std::size_t minimumCapacity = 8);

    std::vector<VKObjectPtr>& innerItems() { return innerItems_; }
    const std::vector<VKObjectPtr>& innerItems() const { return innerItems_; }

  private:
    friend class detail::ContainerAccess;

    std::vector<VKObjectPtr> innerItems_;
};

}  // namespace velkor
