#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

#include "velkor/VKContainer.h"

namespace velkor {

/// The storage of a dictionary: its values by text key, in no particular order, and the mutation
/// primitives through which every change of the items goes, keeping the children's parent sets
/// right.
///
/// Keys are compared as Unicode text: canonically equivalent keys ("é" and "e" followed by a
/// combining acute accent) are one key, which keeps the form it was first written in.
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

    /// The entry whose key is `key` or canonically equivalent to it, or the end.
    Items::iterator findItem(const std::string& key);
    Items::const_iterator findItem(const std::string& key) const;

    /// Stores a decoded `value` under `key`, attached without checks; an entry of an equivalent
    /// key takes the value (the later one wins) and keeps its key.
    void putDecoded(std::string key, VKObjectPtr value);

    /// Takes every entry of `other`, which is left empty; this dictionary's entries must have
    /// been removed before. The children's parent sets are the caller's.
    void moveItemsFrom(VKDictionaryBase& other);

  protected:
    /// An empty dictionary with room for `minimumCapacity` entries.
    explicit VKDictionaryBase(std::size_t minimumCapacity = 8);

    Items& innerItems() { return innerItems_; }
    const Items& innerItems() const { return innerItems_; }

  private:
    using Variants = std::unordered_map<std::string, std::string>;

    void emplaceItem(std::string key, VKObjectPtr value);
    void forgetVariant(const std::string& key);

    Items innerItems_;
    // Stored keys that are not in canonical form, by their canonical form; made when first
    // needed, since most keys are canonical (all ASCII keys are).
    std::unique_ptr<Variants> variants_;
};

}  // namespace velkor
