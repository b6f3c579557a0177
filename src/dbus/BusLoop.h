#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "dbus/BusConnection.h"
#include "dbus/Message.h"

namespace velkor::dbus {

/// One bus connection and the one event-loop thread that drives it.
///
/// Threads: sd-bus is not thread-safe. The loop thread processes the connection; every other
/// use of the connection, and of anything tied to it (building, sending or releasing messages,
/// adding or releasing slots), goes through `withBus`, which runs under the loop's lock and wakes
/// the loop when what it did left work for it (output still queued, messages read meanwhile, a
/// new time-out). The lock is recursive, so sd-bus callbacks, which run on the loop thread
/// under the lock, may call `withBus` too.
///
/// Incoming messages that no slot callback handled go to the message handler on the loop thread
/// without the lock held, so that the handler may call `withBus` (to answer, say) and other
/// threads are not kept waiting while it works. The handler must not keep the message past the
/// call; the loop releases it under the lock. When the connection closes (the bus went away, or
/// it failed), the disconnect handler runs once on the loop thread and the loop ends; the
/// connection stays closed, and sending on it throws. What a handler throws is logged and the
/// loop goes on. Handlers should hold their owner weakly: a loop destroyed from its own handler
/// finishes that handler without its owner. Nothing may block the loop thread for long.
class BusLoop {
  public:
    using MessageHandler = std::function<void(const Message&)>;
    using DisconnectHandler = std::function<void()>;

    /// Takes over `bus`; the thread starts with `start`, so that the owner can set up matches
    /// and ask the bus questions before messages flow.
    explicit BusLoop(BusConnection bus);
    /// Stops the loop (see `stop`).
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    /// Starts the loop thread. Called at most once.
    void start(MessageHandler onMessage, DisconnectHandler onDisconnect);

    /// Ends the loop: no handler is called after `stop` returns, except that, called from a
    /// handler, it returns at once and the loop ends when that handler returns. Messages still
    /// queued for sending go out when the connection is released. Idempotent.
    void stop();

    /// Runs `f(BusConnection&)` under the loop's lock and gives back its result; wakes the loop
    /// afterwards if needed. Exceptions from `f` pass through (the loop is still woken).
    template <typename F>
    std::invoke_result_t<F&, BusConnection&> withBus(F&& f) {
        std::lock_guard lock(shared_->mutex);
        WakeOnExit wake{*shared_};
        return f(shared_->bus);
    }

    /// Whether the caller runs on the loop thread.
    bool isLoopThread() const { return shared_->loopThread.load() == std::this_thread::get_id(); }

  private:
    /// What the loop thread shares with its owner. The thread holds it too, so that a loop
    /// stopped from its own handler can finish after its owner is gone.
    struct Shared {
        explicit Shared(BusConnection bus);
        ~Shared();

        /// Wakes the loop if the connection no longer waits for what the loop sleeps on.
        void wakeIfNeeded();
        void wake();
        void run();
        /// Runs sd_bus_process once; false when the connection has closed.
        bool processOnce(std::unique_lock<std::recursive_mutex>& lock);
        void waitForWork(std::unique_lock<std::recursive_mutex>& lock);
        /// Runs a handler unless the loop is stopping; what it throws is logged, not passed on.
        template <typename F>
        void callHandler(F&& f);

        std::recursive_mutex mutex;
        BusConnection bus;
        int wakeFd;
        std::atomic<bool> stopping{false};
        std::atomic<std::thread::id> loopThread{};
        MessageHandler onMessage;
        DisconnectHandler onDisconnect;
        // What the sleeping loop polls for; guarded by `mutex`.
        bool sleeping = false;
        int sleepEvents = 0;
        std::uint64_t sleepTimeout = 0;
    };

    struct WakeOnExit {
        Shared& shared;
        ~WakeOnExit() { shared.wakeIfNeeded(); }
    };

    std::shared_ptr<Shared> shared_;
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace velkor::dbus
