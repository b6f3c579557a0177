#pragma once

#include <memory>
#include <unordered_set>

namespace velkor {

/// A set shared by a recursive walk so that the walk visits each element once.
template <typename T>
class KnownThings {
  public:
    static std::shared_ptr<KnownThings> make() { return std::make_shared<KnownThings>(); }

    /// Adds `thing`; true when it was not known before.
    bool insert(const T& thing) { return things_.insert(thing).second; }
    bool contains(const T& thing) const { return things_.contains(thing); }
    std::size_t size() const { return things_.size(); }

  private:
    std::unordered_set<T> things_;
};

}  // namespace velkor
