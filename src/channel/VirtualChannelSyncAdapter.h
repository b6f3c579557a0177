#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "basalt/QZLogger.h"
#include "dispatch/OneShot.h"
#include "dispatch/SerialQueue.h"
#include "internals/Tagged.h"
#include "utils/ErrorText.h"
#include "velkor/VKError.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor {

/// Turns a channel of tagged messages into blocking calls: `sync` sends one request under a
/// fresh tag and waits until the answer with that tag arrives, the channel ends, or the time-out
/// passes. Everything that arrives without a waiting caller (late answers, answers to unknown
/// tags, messages the far side pushes on its own) is emitted on `notificationsSubject`. A
/// message that arrived for a waiting caller but could not be read fails that caller at once with
/// serverError.
///
/// Any number of threads may call `sync` at once. Once the channel ends, or `shutdown()` is
/// called, every waiting caller is released with connectionLost and later calls fail at once.
template <typename Channel>
class VirtualChannelSyncAdapter
    : public std::enable_shared_from_this<VirtualChannelSyncAdapter<Channel>> {
  public:
    using Outgoing = typename Channel::OutgoingMessage;
    using Incoming = typename Channel::IncomingMessage;

    /// Builds the adapter and subscribes it to the channel's events at once.
    static std::shared_ptr<VirtualChannelSyncAdapter> make(std::shared_ptr<Channel> channel,
                                                           std::chrono::nanoseconds timeout) {
        std::shared_ptr<VirtualChannelSyncAdapter> adapter(
            new VirtualChannelSyncAdapter(std::move(channel), timeout));
        adapter->subscribeToChannel();
        return adapter;
    }

    ~VirtualChannelSyncAdapter() {
        logger().trace("Destructing VirtualChannelSyncAdapter...");
        handleChannelCompletion();
        logger().trace("VirtualChannelSyncAdapter destructed.");
    }

    VirtualChannelSyncAdapter(const VirtualChannelSyncAdapter&) = delete;
    VirtualChannelSyncAdapter& operator=(const VirtualChannelSyncAdapter&) = delete;

    using Clock = std::chrono::steady_clock;

    /// Sends `request` and returns the answer. Throws connectionLost after shut-down, when the
    /// request cannot be sent, when no answer arrives within the time-out, or when the channel
    /// ends while waiting; serverError when the answer could not be read.
    Incoming sync(const Outgoing& request) { return sync(request, Clock::now() + timeout_); }

    /// As sync(request), but the answer must come by `deadline` (that of an operation that makes
    /// several requests). A deadline already past fails at once, without sending.
    Incoming sync(const Outgoing& request, Clock::time_point deadline) {
        if (Clock::now() >= deadline) {
            logger().error("Timeout waiting for response on: %@", request);
            throw VKError(VKError::connectionLost);
        }
        auto tag = UUID::random();
        auto waiter = std::make_shared<Waiter>();
        bool refused = data_.lock.sync([&] {
            if (data_.shutDown)
                return true;
            data_.taggedResponseWaiters.emplace(tag, waiter);
            return false;
        });
        if (refused) {
            logger().error("Can't send request due shutdown: %@", request);
            throw VKError(VKError::connectionLost);
        }

        try {
            innerChannel_->onNext(Tagged<Outgoing>{tag, request});
        } catch (...) {
            // Whatever the channel threw, the caller is not left registered for an answer to a
            // request that may never have left, and gets the library's error: the library's own
            // as it is, any other as connectionLost, since the channel's state is unknown.
            data_.lock.sync([&] { data_.taggedResponseWaiters.erase(tag); });
            logger().error("Can't send request: %@. Error: %@", request,
                           localizedErrorText(std::current_exception()));
            try {
                throw;
            } catch (const VKError&) {
                throw;
            } catch (...) {
                throw VKError(VKError::connectionLost);
            }
        }

        bool answered = waiter->waitUntil(deadline);

        // Whoever released the waiter has already taken it out of the map.
        auto response = answered ? waiter->take() : data_.lock.sync([&] {
            data_.taggedResponseWaiters.erase(tag);
            // An answer that landed between the deadline and this point still counts.
            return waiter->take();
        });
        if (response) {
            if (auto* answer = std::get_if<Incoming>(&*response))
                return std::move(*answer);
            logger().error("Unreadable response on: %@", request);
            throw VKError(VKError::serverError);
        }
        if (!answered) {
            logger().error("Timeout waiting for response on: %@", request);
        } else {
            logger().warning("Channel has been completed (orginal request: %@).", request);
        }
        throw VKError(VKError::connectionLost);
    }

    /// Ends the adapter as if the channel had ended.
    void shutdown() { handleChannelCompletion(); }

    /// Messages that no caller waited for. Completes when the adapter shuts down.
    rx::PublishSubject<Incoming> notificationsSubject;

  private:
    /// What a caller gets whose answer arrived but could not be read.
    struct Unreadable {};
    /// One caller waiting for its answer. It is released once, by the thread that takes it out
    /// of the adapter's map while holding the adapter's lock, and woken after that lock is
    /// released.
    using Waiter = dispatch::OneShot<std::variant<Incoming, Unreadable>>;

    static basalt::QZLogger& logger() {
        static auto& log =
            basalt::QZLogger::loggerWithIdentifier("Velkor.VirtualChannelSyncAdapter");
        return log;
    }

    VirtualChannelSyncAdapter(std::shared_ptr<Channel> channel, std::chrono::nanoseconds timeout)
        : innerChannel_(std::move(channel)), timeout_(timeout) {
        logger().trace("Constructing VirtualChannelSyncAdapter...");
    }

    void subscribeToChannel() {
        std::weak_ptr<VirtualChannelSyncAdapter> weak = this->shared_from_this();
        auto answers = innerChannel_->events().subscribe(
            [weak](const Tagged<Incoming>& message) {
                if (auto self = weak.lock())
                    self->handleServerResponseMessage(message);
            },
            [weak](rx::Error error) {
                if (auto self = weak.lock()) {
                    logger().debug("Service response channel has failed: %@",
                                   localizedErrorText(error));
                    self->handleChannelCompletion();
                }
            },
            [weak] {
                if (auto self = weak.lock()) {
                    logger().debug("Service response channel has completed.");
                    self->handleChannelCompletion();
                }
            });
        auto unreadable = innerChannel_->unreadableEvents().subscribe([weak](const UUID& tag) {
            if (auto self = weak.lock())
                self->handleUnreadableMessage(tag);
        });
        auto subscription = rx::Disposables::create([answers, unreadable] {
            answers->dispose();
            unreadable->dispose();
        });
        // The channel may have ended already, even during subscribe(): then nothing keeps the
        // subscription.
        bool ended = data_.lock.sync([&] {
            if (!data_.shutDown)
                data_.channelSubscription = subscription;
            return data_.shutDown;
        });
        if (ended)
            subscription->dispose();
        logger().trace("VirtualChannelSyncAdapter constructed.");
    }

    void handleServerResponseMessage(const Tagged<Incoming>& message) {
        if (!releaseWaiter(message.tag, message.payload))
            notificationsSubject.onNext(message.payload);
    }

    /// A message that could not be read concerns only a caller waiting for it.
    void handleUnreadableMessage(const UUID& tag) { releaseWaiter(tag, Unreadable{}); }

    /// Hands `answer` to the caller waiting for `tag`; false when none waits.
    template <typename Answer>
    bool releaseWaiter(const UUID& tag, const Answer& answer) {
        auto waiter = data_.lock.sync([&]() -> std::shared_ptr<Waiter> {
            auto it = data_.taggedResponseWaiters.find(tag);
            if (it == data_.taggedResponseWaiters.end())
                return nullptr;
            auto found = std::move(it->second);
            data_.taggedResponseWaiters.erase(it);
            found->release(answer);
            return found;
        });
        if (waiter)
            waiter->wake();
        return waiter != nullptr;
    }

    bool atomicSetShutdown() {
        return data_.lock.sync([&] { return !std::exchange(data_.shutDown, true); });
    }

    void handleChannelCompletion() {
        if (!atomicSetShutdown())
            return;
        logger().trace("Completing VirtualChannelSyncAdapter...");
        if (auto subscription =
                data_.lock.sync([&] { return std::move(data_.channelSubscription); })) {
            subscription->dispose();
        }
        innerChannel_->onCompleted();
        notificationsSubject.onCompleted();
        std::unordered_map<UUID, std::shared_ptr<Waiter>> waiters;
        data_.lock.sync([&] { waiters.swap(data_.taggedResponseWaiters); });
        for (auto& [tag, waiter] : waiters) {
            waiter->release(std::nullopt);
            waiter->wake();
        }
    }

    struct Data {
        dispatch::SerialQueue lock{"VirtualChannelSyncAdapter"};
        bool shutDown = false;
        std::unordered_map<UUID, std::shared_ptr<Waiter>> taggedResponseWaiters;
        rx::DisposablePtr channelSubscription;
    };

    std::shared_ptr<Channel> innerChannel_;
    std::chrono::nanoseconds timeout_;
    Data data_;
};

}  // namespace velkor
