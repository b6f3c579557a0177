#pragma once

#include <memory>
#include <utility>

#include "velkor/rx/Disposable.h"

namespace velkor {

/// Owns one subscription (any `rx::DisposablePtr`) and ends it when destroyed, as a
/// `std::unique_ptr` frees its object. Move-only. Dropping the `DisposablePtr` that `subscribe`
/// returns does not end a subscription; dropping a Subscription does:
///
///     velkor::Subscription watching = settings->observe(onChange);   // ends with `watching`
///     auto connected = velkor::scoped(monitor->observableConnection().subscribe(onConnection));
///
/// One Subscription object is not meant to be used from several threads at once; the
/// subscription it holds may end on its own (the stream completed) at any time.
///
/// Ending a subscription stops new deliveries; it does not wait for one already running on
/// another thread (observers are called on the connection's scheduler), which may still be in
/// the callback after `dispose()` returns or the object is destroyed. What a callback uses must
/// outlive it: let the callback hold it (a `shared_ptr` captured by value), or release it in
/// the `onDisposed` handler of `rx::Observable::subscribe` (for a container, subscribe to its
/// `asObservable()`), which runs once no delivery is in progress.
class [[nodiscard]] Subscription {
  public:
    /// Holds nothing.
    Subscription() noexcept = default;
    /// Takes over `disposable`; it is disposed when this object is destroyed.
    explicit Subscription(rx::DisposablePtr disposable) noexcept
        : disposable_(std::move(disposable)) {}
    /// Takes over `other`'s subscription; `other` holds nothing afterwards.
    Subscription(Subscription&& other) noexcept : disposable_(std::move(other.disposable_)) {}
    /// Ends the subscription held so far, then takes over `other`'s.
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            dispose();
            disposable_ = std::move(other.disposable_);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    /// Ends the subscription.
    ~Subscription() { dispose(); }

    /// Ends the subscription now; afterwards the object holds nothing. Idempotent.
    void dispose() noexcept {
        auto disposable = std::move(disposable_);
        if (disposable) {
            try {
                disposable->dispose();
            } catch (...) {
                // The library's disposables do not throw; a host's that does has ended all the
                // same as far as this object is concerned, and a destructor cannot report it.
            }
        }
    }

    /// Gives the subscription up without ending it: the caller takes over the handle (empty
    /// when nothing was held) and this object holds nothing.
    [[nodiscard]] rx::DisposablePtr release() noexcept { return std::move(disposable_); }

    /// Whether a subscription is held and has not ended yet.
    bool active() const { return disposable_ && !disposable_->isDisposed(); }
    /// active().
    explicit operator bool() const { return active(); }

  private:
    rx::DisposablePtr disposable_;
};

/// `disposable` as a Subscription, ended when the result is destroyed: the way to scope what any
/// `subscribe` of the library returns (a container's changes, the monitor's connections, a
/// connection's loss).
inline Subscription scoped(rx::DisposablePtr disposable) noexcept {
    return Subscription(std::move(disposable));
}

}  // namespace velkor
