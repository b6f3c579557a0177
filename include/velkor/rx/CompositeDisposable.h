#pragma once

#include <mutex>
#include <vector>

#include "velkor/rx/Disposable.h"

namespace velkor::rx {

/// A bag of disposables that are disposed together. Thread-safe.
class CompositeDisposable final : public Disposable {
  public:
    CompositeDisposable() = default;
    /// Disposes everything still held.
    ~CompositeDisposable() override;
    CompositeDisposable(const CompositeDisposable&) = delete;
    CompositeDisposable& operator=(const CompositeDisposable&) = delete;

    /// Keeps `disposable` until the bag is disposed. A bag that is already disposed disposes it
    /// at once instead. Empty pointers are ignored.
    void add(DisposablePtr disposable);

    /// How many disposables the bag holds.
    std::size_t count() const;

    /// Disposes every disposable held, in the order they were added, outside the bag's lock.
    void dispose() override;
    bool isDisposed() const override;

  private:
    mutable std::mutex mutex_;
    std::vector<DisposablePtr> items_;
    bool disposed_ = false;
};

}  // namespace velkor::rx
