#pragma once

#include <utility>

#include "dispatch/ReadWriteQueue.h"
#include "velkor/VKContainer.h"

// The items lock of a container. Files that read or change a container's items include this
// header: the templates need the lock's definition, which the public header does not carry.

namespace velkor {

/// Runs `f` on the items lock as a reader, concurrently with other readers; returns its result
/// and passes its exception on.
template <typename F>
decltype(auto) VKContainer::withReadItemsLock(F&& f) const {
    return itemsLock().sync(std::forward<F>(f));
}

/// Runs `f` on the items lock alone, after the blocks already running and before the ones
/// that come later; returns its result and passes its exception on.
template <typename F>
decltype(auto) VKContainer::withWriteItemsLock(F&& f) const {
    return itemsLock().syncBarrier(std::forward<F>(f));
}

}  // namespace velkor
