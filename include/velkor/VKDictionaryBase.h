#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

#include "velkor/VKContainer.h"

namespace velkor {

/// The storage of a dictionary: its values by text key, in no particular order. Every change of
/// the items goes through the library, which keeps the children's parent sets right.
///
/// Keys are compared as Unicode text: canonically equivalent keys ("é" and "e" followed by a
/// combining acute accent) are one key, which keeps the form it was first written in.
class VKDictionaryBase : public VKContainer {
  public:
    using Items = std::unordered_map<std::string, VKObjectPtr>;

    /// Detaches every child, so that none keeps a parent entry for this dictionary.
    ~VKDictionaryBase() override;

  protected:
    /// An empty dictionary with room for `minimumCapacity` entries.
    explicit VKDictionaryBase(std::size_t minimumCapacity = 8);

    Items& innerItems() { return innerItems_; }
    const Items& innerItems() const { return innerItems_; }

  private:
    friend class detail::ContainerAccess;

    Items innerItems_;
    // Stored keys that are not in canonical form, by their canonical form; made when first
    // needed, since most keys are canonical (all ASCII keys are).
    std::unique_ptr<std::unordered_map<std::string, std::string>> variants_;
};

}  // namespace velkor
