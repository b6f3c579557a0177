#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "velkor/rx/Disposable.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/Error.h"
#include "velkor/rx/Observer.h"
#include "velkor/rx/Scheduler.h"
#include "velkor/rx/detail/AnonymousObserver.h"
#include "velkor/rx/detail/ObserveOnObserver.h"
#include "velkor/rx/detail/ShareState.h"
#include "velkor/rx/detail/Sink.h"

namespace velkor::rx {

/// A stream of events of type T: any number of values, then at most one error or completion.
/// A cheap, copyable value handle: copies share the same source, and operators return new
/// handles without touching this one.
///
/// Subscriptions. Every subscription ends at a sink that keeps the event grammar: after
/// onError or onCompleted nothing more reaches that observer, and the subscription is then
/// disposed on its own. A subscription lasts until it is disposed or its source ends; dropping
/// the returned `DisposablePtr` does not end it.
///
/// Disposal racing delivery. Once dispose() has returned, no delivery starts for that
/// subscription on the disposing thread or on any thread whose emission is ordered after the
/// return (by a lock, a join, an atomic). A delivery that had already begun on another thread
/// when dispose() was called may still be running when it returns: dispose() does not wait for
/// it, so that disposing from inside a handler, or while holding a lock a handler needs, cannot
/// deadlock. The observer (its handlers and whatever they captured) is released, and onDisposed
/// runs, exactly once, after the last delivery that had begun has returned: at once inside
/// dispose() when none is running, otherwise on the delivering thread. There is no data race
/// either way.
///
/// Handlers should not throw: an exception from a handler propagates to the code that emitted
/// the event (an emission to several observers then stops at the throwing one).
template <typename T>
class Observable {
  public:
    using SubscribeFunction = std::function<DisposablePtr(ObserverPtr<T>)>;

    /// An observable that never emits anything.
    Observable() = default;

    /// An observable whose every subscription calls `subscribe` with the subscription's
    /// observer. The function may emit at once or keep the observer and emit later, from any
    /// thread, and returns what ends its work (or an empty pointer). Events it sends after a
    /// terminal event or after disposal are dropped. An exception it throws is delivered to the
    /// subscriber as an error.
    static Observable create(SubscribeFunction subscribe) {
        return Observable(std::make_shared<const SubscribeFunction>(std::move(subscribe)));
    }

    /// Subscribes `observer`. Returns the subscription.
    DisposablePtr subscribe(ObserverPtr<T> observer) const {
        return subscribeSink(std::move(observer), nullptr);
    }

    /// Subscribes with separate handlers, each optional. `onDisposed` runs once when the
    /// subscription ends, whether by dispose() or after onError/onCompleted, once no delivery
    /// is in progress any more.
    DisposablePtr subscribe(std::function<void(const T&)> onNext = {},
                            std::function<void(Error)> onError = {},
                            std::function<void()> onCompleted = {},
                            std::function<void()> onDisposed = {}) const {
        return subscribeSink(std::make_shared<detail::AnonymousObserver<T>>(
                                 std::move(onNext), std::move(onError), std::move(onCompleted)),
                             std::move(onDisposed));
    }

    /// ReactiveX `do` with subscription side effects: `onSubscribe` runs on each subscription,
    /// on the subscribing thread, before the source is subscribed; `onDispose` runs when that
    /// subscription ends (disposed, or after its terminal event), after the source's
    /// subscription has been disposed. Either may be empty.
    Observable doOn(std::function<void()> onSubscribe, std::function<void()> onDispose) const {
        return create([source = subscribe_, onSubscribe = std::move(onSubscribe),
                       onDispose = std::move(onDispose)](ObserverPtr<T> observer) {
            if (onSubscribe)
                onSubscribe();
            DisposablePtr inner;
            try {
                inner = subscribeSource(source, std::move(observer));
            } catch (...) {
                if (onDispose)
                    onDispose();
                throw;
            }
            return Disposables::create([inner = std::move(inner), onDispose] {
                if (inner)
                    inner->dispose();
                if (onDispose)
                    onDispose();
            });
        });
    }

    /// Shares one subscription to this observable among all observers, counted by reference:
    /// the first observer (0 to 1) subscribes to the source, later ones join it and see only
    /// later events, and when the last one leaves (back to 0) the source's subscription is
    /// disposed. When the source ends, every observer gets the terminal event and the next
    /// observer subscribes to the source anew. Joining and leaving wait while another thread
    /// is subscribing to or disposing the source, so the source's side effects never overlap.
    Observable share() const {
        auto state = std::make_shared<detail::ShareState<T>>(subscribe_);
        return create(
            [state](ObserverPtr<T> observer) { return state->subscribe(std::move(observer)); });
    }

    /// Delivers every event on `scheduler` (which must not be empty), in the order the events
    /// arrived, one at a time per subscription even on a concurrent scheduler. Disposing the
    /// subscription drops the events not yet delivered.
    Observable observeOn(SchedulerPtr scheduler) const {
        return create(
            [source = subscribe_, scheduler = std::move(scheduler)](ObserverPtr<T> observer) {
                auto relay =
                    std::make_shared<detail::ObserveOnObserver<T>>(std::move(observer), scheduler);
                auto inner = subscribeSource(source, relay);
                // The relay is kept by the source and by its scheduled drain, not by the
                // subscription, so that an abandoned source frees it.
                std::weak_ptr<detail::ObserveOnObserver<T>> weakRelay = relay;
                return Disposables::create([weakRelay, inner = std::move(inner)] {
                    if (auto relay = weakRelay.lock())
                        relay->dispose();
                    if (inner)
                        inner->dispose();
                });
            });
    }

  private:
    using SubscribeFunctionPtr = std::shared_ptr<const SubscribeFunction>;

    explicit Observable(SubscribeFunctionPtr subscribe) : subscribe_(std::move(subscribe)) {}

    // Operators pass their observer straight to the source: the sink at the end of the chain
    // already keeps the grammar, and no extra sink per operator means no reference cycle
    // between the layers of a chain.
    static DisposablePtr subscribeSource(const SubscribeFunctionPtr& source,
                                         ObserverPtr<T> observer) {
        return source ? (*source)(std::move(observer)) : nullptr;
    }

    DisposablePtr subscribeSink(ObserverPtr<T> observer, std::function<void()> onDisposed) const {
        auto sink = std::make_shared<detail::Sink<T>>(std::move(observer), std::move(onDisposed));
        DisposablePtr upstream;
        try {
            upstream = subscribeSource(subscribe_, sink);
        } catch (...) {
            sink->onError(std::current_exception());
        }
        sink->setUpstream(std::move(upstream));
        return sink;
    }

    SubscribeFunctionPtr subscribe_;
};

}  // namespace velkor::rx
