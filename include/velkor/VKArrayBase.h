#pragma once

#include <cstddef>
#include <vector>

#include "velkor/VKContainer.h"

namespace velkor {

/// The storage of an array: its items in index order, and the mutation primitives through which
/// every change of the items goes, keeping the children's parent sets right.
class VKArrayBase : public VKContainer {
  public:
    /// Detaches every child, so that none keeps a parent entry for this array.
    ~VKArrayBase() override;

    // ---- Library-internal -------------------------------------------------------------------
    // The primitives run under the write lock of the items; they take the parents lock once per
    // child attached or detached.

    /// Stores `value` at `index` (which must be below the item count; not checked). Storing the
    /// very object already there, or an equal value, changes nothing: the old value stays. A
    /// container placed here is attached with the root and cycle checks (whose VKError leaves
    /// everything unchanged) and the one it replaces is detached. A proxy replaced by the
    /// container it was resolved into moves its place to it without the checks and without
    /// reporting a change.
    ItemMutation setInternal(std::size_t index, VKObjectPtr value);

    /// Detaches every child that is a container, in order, and empties the items.
    void removeAllInternal();

    /// Writes the item count and then every item.
    void serializeInnerItems(SerializerBase& serializer) const override;

  protected:
    /// An empty array with room for `minimumCapacity` items.
    explicit VKArrayBase(std::size_t minimumCapacity = 8);

    std::vector<VKObjectPtr>& innerItems() { return innerItems_; }
    const std::vector<VKObjectPtr>& innerItems() const { return innerItems_; }

  private:
    std::vector<VKObjectPtr> innerItems_;
};

}  // namespace velkor
