#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "velkor/rx/Disposable.h"
#include "velkor/rx/Observer.h"

namespace velkor::rx::detail {

/// The end of one subscription: the observer that its source calls and the disposable that the
/// subscriber holds. It keeps the event grammar (nothing after a terminal event or after
/// dispose()), disposes the source's subscription after either, and then releases the
/// subscriber's observer and runs its onDisposed handler exactly once, after the last delivery
/// still in progress has returned.
///
/// The bookkeeping is one atomic word: a stopped bit (no delivery may start any more), a
/// finished bit (the source's subscription has been disposed), a released bit and the number of
/// deliveries in progress. Whoever brings the word to "stopped, finished, none in progress"
/// releases. A delivery costs two uncontended atomic operations and takes no lock.
template <typename T>
class Sink final : public Observer<T>, public Disposable {
  public:
    Sink(ObserverPtr<T> downstream, std::function<void()> onDisposed)
        : downstream_(std::move(downstream)), onDisposed_(std::move(onDisposed)) {}

    void onNext(const T& value) override {
        Delivery delivery(*this);
        if (delivery.admitted())
            downstream_->onNext(value);
    }

    void onError(Error error) override {
        terminate([&] { downstream_->onError(error); });
    }

    void onCompleted() override {
        terminate([&] { downstream_->onCompleted(); });
    }

    void dispose() override {
        if (state_.fetch_or(kStopped, std::memory_order_acq_rel) & kStopped)
            return;
        disposeUpstream();
    }

    /// True once the subscription has ended, by dispose() or by a terminal event.
    bool isDisposed() const override { return state_.load(std::memory_order_acquire) & kStopped; }

    /// Takes the source's subscription once the source's subscribe function has returned (empty
    /// when it gave none). When the sink stopped meanwhile it is disposed at once.
    void setUpstream(DisposablePtr upstream) {
        {
            std::lock_guard lock(upstreamMutex_);
            upstreamKnown_ = true;
            if (!upstreamDisposeRequested_) {
                upstream_ = std::move(upstream);
                return;
            }
        }
        if (upstream)
            upstream->dispose();
        finish();
    }

  private:
    static constexpr std::uint32_t kStopped = 1;
    static constexpr std::uint32_t kFinished = 2;
    static constexpr std::uint32_t kReleased = 4;
    static constexpr std::uint32_t kOneDelivery = 8;
    static constexpr std::uint32_t kReleasable = kStopped | kFinished;

    /// Counts one delivery in progress for its scope. admitted() tells whether the sink had not
    /// stopped when the delivery entered, i.e. whether it may call the downstream observer.
    class Delivery {
      public:
        explicit Delivery(Sink& sink)
            : sink_(sink),
              admitted_(
                  !(sink.state_.fetch_add(kOneDelivery, std::memory_order_acq_rel) & kStopped)) {}
        ~Delivery() { sink_.leave(); }
        Delivery(const Delivery&) = delete;
        Delivery& operator=(const Delivery&) = delete;

        bool admitted() const { return admitted_; }

      private:
        Sink& sink_;
        bool admitted_;
    };

    /// Disposes the source's subscription when it goes out of scope, even if a handler threw.
    struct UpstreamGuard {
        Sink& sink;
        ~UpstreamGuard() { sink.disposeUpstream(); }
    };

    template <typename F>
    void terminate(F deliver) {
        Delivery delivery(*this);
        if (!delivery.admitted() ||
            (state_.fetch_or(kStopped, std::memory_order_acq_rel) & kStopped))
            return;
        UpstreamGuard guard{*this};
        deliver();
    }

    void disposeUpstream() {
        DisposablePtr upstream;
        {
            std::lock_guard lock(upstreamMutex_);
            upstreamDisposeRequested_ = true;
            if (!upstreamKnown_)
                return;  // still subscribing: setUpstream() disposes it and finishes
            upstream = std::move(upstream_);
        }
        if (upstream)
            upstream->dispose();
        finish();
    }

    void finish() {
        if ((state_.fetch_or(kFinished, std::memory_order_acq_rel) | kFinished) == kReleasable)
            tryRelease();
    }

    void leave() {
        if (state_.fetch_sub(kOneDelivery, std::memory_order_acq_rel) - kOneDelivery == kReleasable)
            tryRelease();
    }

    void tryRelease() {
        auto expected = kReleasable;
        if (state_.compare_exchange_strong(expected, kReleasable | kReleased,
                                           std::memory_order_acq_rel))
            release();
    }

    void release() {
        auto downstream = std::move(downstream_);
        auto onDisposed = std::move(onDisposed_);
        if (onDisposed)
            onDisposed();
    }

    std::atomic<std::uint32_t> state_{0};
    ObserverPtr<T> downstream_;
    std::function<void()> onDisposed_;

    std::mutex upstreamMutex_;
    DisposablePtr upstream_;
    bool upstreamKnown_ = false;
    bool upstreamDisposeRequested_ = false;
};

}  // namespace velkor::rx::detail
