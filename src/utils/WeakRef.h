#pragma once

#include <memory>

namespace velkor {

/// One weak, optional reference: how parent sets, the registry and the lookup map hold
/// containers without keeping them alive.
template <typename T>
struct WeakRef {
    std::weak_ptr<T> ref;

    std::shared_ptr<T> get() const { return ref.lock(); }
};

}  // namespace velkor
