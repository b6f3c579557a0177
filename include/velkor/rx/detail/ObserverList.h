#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace velkor::rx::detail {

/// A copy-on-write list of observers (`O` is the observer class), each under the key it was
/// added with. Its owner guards it
/// with a mutex, copies the snapshot pointer under that mutex and calls the observers outside
/// it: emission then never holds a lock while observers run and never allocates; only adding
/// and removing copy the list.
template <typename O>
class ObserverList {
  public:
    struct Entry {
        std::uint64_t key;
        std::shared_ptr<O> observer;
    };
    using Snapshot = std::shared_ptr<const std::vector<Entry>>;

    /// The current observers, or an empty pointer when there are none.
    const Snapshot& snapshot() const { return list_; }
    bool empty() const { return !list_; }

    /// Adds an observer and returns the key that removes it.
    std::uint64_t add(std::shared_ptr<O> observer) {
        auto copy = list_ ? std::vector<Entry>(*list_) : std::vector<Entry>();
        copy.push_back(Entry{++lastKey_, std::move(observer)});
        list_ = std::make_shared<const std::vector<Entry>>(std::move(copy));
        return lastKey_;
    }

    /// Removes the observer added under `key`. Returns whether it was still there.
    bool remove(std::uint64_t key) {
        if (!list_)
            return false;
        auto found = std::find_if(list_->begin(), list_->end(),
                                  [&](const Entry& entry) { return entry.key == key; });
        if (found == list_->end())
            return false;
        if (list_->size() == 1) {
            list_.reset();
            return true;
        }
        std::vector<Entry> copy;
        copy.reserve(list_->size() - 1);
        for (auto it = list_->begin(); it != list_->end(); ++it) {
            if (it != found)
                copy.push_back(*it);
        }
        list_ = std::make_shared<const std::vector<Entry>>(std::move(copy));
        return true;
    }

    /// Empties the list and returns what it held.
    Snapshot takeAll() { return std::exchange(list_, nullptr); }

  private:
    Snapshot list_;
    std::uint64_t lastKey_ = 0;
};

}  // namespace velkor::rx::detail
