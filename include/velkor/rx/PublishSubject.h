#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "velkor/rx/Disposables.h"
#include "velkor/rx/Error.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/Observer.h"
#include "velkor/rx/detail/ObserverList.h"

namespace velkor::rx {

/// A hot source of events: each value emitted goes to the observers subscribed at that moment.
/// Once it has failed or completed, it tells every later subscriber the same at once, and
/// further events are ignored.
///
/// An object, not a handle: hold it by value as a member, or in a std::shared_ptr where several
/// owners need it. `asObservable()` and `asObserver()` keep the subject's state alive; a
/// subscription alone does not.
///
/// Thread-safe: events may be emitted, and observers may subscribe and leave, from any thread.
/// Observers are called without any lock held, so they may subscribe, dispose or emit again
/// from inside a handler. An emission reaches the observers subscribed when it started; events
/// emitted from one thread reach each observer in emission order. Emissions from several
/// threads at once are not serialised: an observer may then be called concurrently (put
/// `observeOn` with a serial scheduler behind it to serialise). Emitting to existing observers
/// neither allocates nor holds a lock while observers run: it only copies a pointer to the
/// current observer list under a mutex.
template <typename T>
class PublishSubject {
  public:
    PublishSubject() : state_(std::make_shared<State>()) {}
    PublishSubject(const PublishSubject&) = delete;
    PublishSubject& operator=(const PublishSubject&) = delete;

    void onNext(const T& value) const { state_->onNext(value); }
    void onError(Error error) const { state_->onError(std::move(error)); }
    void onCompleted() const { state_->onCompleted(); }

    /// The subject's events as an observable.
    Observable<T> asObservable() const {
        return Observable<T>::create([state = state_](ObserverPtr<T> observer) {
            return state->subscribe(std::move(observer));
        });
    }

    /// The subject as an observer: events sent to it are emitted by the subject.
    ObserverPtr<T> asObserver() const { return state_; }

    /// Whether any observer is subscribed at the moment.
    bool hasObservers() const { return state_->hasObservers(); }

  private:
    class State final : public Observer<T>, public std::enable_shared_from_this<State> {
      public:
        void onNext(const T& value) override {
            typename detail::ObserverList<Observer<T>>::Snapshot observers;
            {
                std::lock_guard lock(mutex_);
                observers = observers_.snapshot();
            }
            if (observers) {
                for (const auto& entry : *observers)
                    entry.observer->onNext(value);
            }
        }

        void onError(Error error) override {
            if (auto observers = stop(error)) {
                for (const auto& entry : *observers)
                    entry.observer->onError(error);
            }
        }

        void onCompleted() override {
            if (auto observers = stop(nullptr)) {
                for (const auto& entry : *observers)
                    entry.observer->onCompleted();
            }
        }

        DisposablePtr subscribe(ObserverPtr<T> observer) {
            Error error;
            {
                std::lock_guard lock(mutex_);
                if (!stopped_) {
                    auto key = observers_.add(std::move(observer));
                    // Held weakly: a subscription does not keep the subject alive.
                    return Disposables::create([weak = this->weak_from_this(), key] {
                        if (auto state = weak.lock())
                            state->remove(key);
                    });
                }
                error = error_;
            }
            if (error)
                observer->onError(error);
            else
                observer->onCompleted();
            return nullptr;
        }

        bool hasObservers() const {
            std::lock_guard lock(mutex_);
            return !observers_.empty();
        }

      private:
        /// Marks the subject ended with `error` (or completed) and takes its observers; gives
        /// nothing when it had already ended.
        typename detail::ObserverList<Observer<T>>::Snapshot stop(Error error) {
            std::lock_guard lock(mutex_);
            if (stopped_)
                return nullptr;
            stopped_ = true;
            error_ = std::move(error);
            return observers_.takeAll();
        }

        void remove(std::uint64_t key) {
            typename detail::ObserverList<Observer<T>>::Snapshot previous;
            std::lock_guard lock(mutex_);
            // The old list may hold the last reference to other observers' state: release it
            // after the lock (declared before it, destroyed after it).
            previous = observers_.snapshot();
            observers_.remove(key);
        }

        mutable std::mutex mutex_;
        detail::ObserverList<Observer<T>> observers_;
        bool stopped_ = false;
        Error error_;
    };

    std::shared_ptr<State> state_;
};

}  // namespace velkor::rx
