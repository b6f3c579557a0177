#pragma once

#include <memory>

namespace velkor::rx {

/// A handle that ends something: a subscription, a scheduled action, a registration. Handled
/// through `DisposablePtr`; every implementation is safe to use from any thread.
class Disposable {
  public:
    virtual ~Disposable() = default;

    /// Ends what the handle stands for. Idempotent: only the first call has an effect.
    virtual void dispose() = 0;

    /// Whether the handle has been disposed (or what it stands for has ended by itself).
    virtual bool isDisposed() const = 0;
};

using DisposablePtr = std::shared_ptr<Disposable>;

}  // namespace velkor::rx
