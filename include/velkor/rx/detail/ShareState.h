#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "velkor/rx/Disposables.h"
#include "velkor/rx/Observer.h"
#include "velkor/rx/detail/Event.h"
#include "velkor/rx/detail/ObserverList.h"

namespace velkor::rx::detail {

/// The state behind `Observable::share()`: one subscription to the source (the connection) for
/// all observers, made when the first observer arrives and disposed when the last one leaves or
/// the source ends. Each connection has a generation number, so that late events of an old
/// connection never reach the observers of a newer one.
///
/// Connecting and disconnecting are serialised by a recursive lock, held while the source is
/// subscribed or its subscription disposed (the source's side effects may call back into the
/// share from the same thread). Values pass under the list's own mutex only, taken to copy the
/// observer snapshot.
template <typename T>
class ShareState final : public std::enable_shared_from_this<ShareState<T>> {
  public:
    using SubscribeFunction = std::function<DisposablePtr(ObserverPtr<T>)>;

    /// `source` may be empty: the source then never emits.
    explicit ShareState(std::shared_ptr<const SubscribeFunction> source)
        : source_(std::move(source)) {}

    DisposablePtr subscribe(ObserverPtr<T> observer) {
        std::lock_guard connecting(connectionMutex_);
        std::uint64_t key = 0;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex_);
            key = observers_.add(std::move(observer));
            if (active_ == 0)
                generation = active_ = ++lastGeneration_;
        }
        if (generation != 0)
            connect(generation);
        return Disposables::create([self = this->shared_from_this(), key] { self->remove(key); });
    }

  private:
    /// What the source sees: forwards to every current observer of its generation.
    class Forwarder final : public Observer<T> {
      public:
        Forwarder(std::shared_ptr<ShareState> state, std::uint64_t generation)
            : state_(std::move(state)), generation_(generation) {}

        void onNext(const T& value) override { state_->forwardNext(generation_, value); }
        void onError(Error error) override {
            state_->terminate(generation_, Event<T>::error(std::move(error)));
        }
        void onCompleted() override { state_->terminate(generation_, Event<T>::completed()); }

      private:
        std::shared_ptr<ShareState> state_;
        std::uint64_t generation_;
    };

    void connect(std::uint64_t generation) {
        DisposablePtr connection;
        try {
            if (source_)
                connection =
                    (*source_)(std::make_shared<Forwarder>(this->shared_from_this(), generation));
        } catch (...) {
            terminate(generation, Event<T>::error(std::current_exception()));
        }
        {
            std::lock_guard lock(mutex_);
            if (active_ == generation) {
                connection_ = std::move(connection);
                return;
            }
        }
        // The generation ended while connecting (the source ended at once, or every observer
        // left): its subscription is not kept.
        if (connection)
            connection->dispose();
    }

    void remove(std::uint64_t key) {
        // The old list may hold the last reference to the leaving observer: it is released
        // after the locks (declared before them).
        typename ObserverList<Observer<T>>::Snapshot previous;
        std::lock_guard disconnecting(connectionMutex_);
        DisposablePtr connection;
        {
            std::lock_guard lock(mutex_);
            previous = observers_.snapshot();
            if (!observers_.remove(key) || !observers_.empty())
                return;
            active_ = 0;
            connection = std::move(connection_);
        }
        if (connection)
            connection->dispose();
    }

    void forwardNext(std::uint64_t generation, const T& value) {
        typename ObserverList<Observer<T>>::Snapshot observers;
        {
            std::lock_guard lock(mutex_);
            if (active_ != generation)
                return;
            observers = observers_.snapshot();
        }
        if (observers) {
            for (const auto& entry : *observers)
                entry.observer->onNext(value);
        }
    }

    /// The source ended: the connection is disposed first, then every observer of that
    /// generation gets the terminal event. A later observer connects anew.
    void terminate(std::uint64_t generation, const Event<T>& event) {
        typename ObserverList<Observer<T>>::Snapshot observers;
        {
            std::lock_guard disconnecting(connectionMutex_);
            DisposablePtr connection;
            {
                std::lock_guard lock(mutex_);
                if (active_ != generation)
                    return;
                active_ = 0;
                observers = observers_.takeAll();
                connection = std::move(connection_);
            }
            if (connection)
                connection->dispose();
        }
        if (observers) {
            for (const auto& entry : *observers)
                event.deliverTo(*entry.observer);
        }
    }

    const std::shared_ptr<const SubscribeFunction> source_;
    std::recursive_mutex connectionMutex_;
    std::mutex mutex_;
    ObserverList<Observer<T>> observers_;
    std::uint64_t lastGeneration_ = 0;
    std::uint64_t active_ = 0;  ///< generation of the current connection; 0 when there is none
    DisposablePtr connection_;
};

}  // namespace velkor::rx::detail
