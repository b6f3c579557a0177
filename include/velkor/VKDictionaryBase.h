#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "velkor/VKContainer.h"

namespace velkor {

/// The storage of a dictionary: its values by text key, in no particular order, and the mutation
/// primitives through which every change of the items goes, keeping the children's parent sets
/// right.
class VKDictionaryBase : public VKContainer {
  public:
    using Items = std::unordered_map<std::string, VKObjectPtr>;

    /// Detaches every child, so that none keeps a parent entry for this dictionary.
    ~VKDictionaryBase() override;

    // ---- Library-internal -------------------------------------------------------------------
    // The primitives run under the write lock of the items; they take the parents lock once per
    // child attached or detached.

    /// Stores `value` under `key`. A new key is always a change, with no old value. For a key
    /// that is there the rules of VKArrayBase::setInternal apply: the very object or an equal
    /// value changes nothing and keeps the old value; a proxy replaced by its resolved container
    /// is no change. A container placed here is attached with the root and cycle checks, whose
    /// VKError leaves everything unchanged.
    ItemMutation setInternal(const std::string& key, VKObjectPtr value);

    /// Removes the value under `key` and detaches it; no change and no old value when the key is
    /// not there.
    ItemMutation removeInternal(const std::string& key);

    /// Detaches every child that is a container and empties the items.
    void removeAllInternal();

    /// Writes the entry count and then every key followed by its value.
    void serializeInnerItems(SerializerBase& serializer) const override;

  protected:
    /// An empty dictionary with room for `minimumCapacity` entries.
    explicit VKDictionaryBase(std::size_t minimumCapacity = 8);

    Items& innerItems() { return innerItems_; }
    const Items& innerItems() const { return innerItems_; }

  private:
    Items innerItems_;
};

}  // namespace velkor
