#include "monitor/ConnectionMonitorImpl.h"

#include <thread>

#include "basalt/QZLogger.h"
#include "monitor/DaemonOnlineCenter.h"
#include "utils/ErrorText.h"
#include "velkor/BKProductDefines.h"
#include "velkor/VKError.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ConnectionMonitor");
    return log;
}

}  // namespace

std::shared_ptr<ConnectionMonitorImpl> ConnectionMonitorImpl::make(
    std::shared_ptr<di::Resolver> resolver, rx::SchedulerPtr scheduler) {
    auto defines = resolver->resolve<BKProductDefines>();
    auto name = defines ? defines->lookup(BKProductDefines::kDaemonServiceName) : std::nullopt;
    if (!name) {
        logger().error(
            "Can't create connection monitor: no BKProductDefines with the daemon's service name "
            "is registered.");
        return nullptr;
    }
    std::shared_ptr<ConnectionMonitorImpl> monitor(
        new ConnectionMonitorImpl(std::move(resolver), std::move(scheduler)));
    monitor->observeDaemonOnline(*name);
    monitor->recreateConnection();
    return monitor;
}

ConnectionMonitorImpl::ConnectionMonitorImpl(std::shared_ptr<di::Resolver> resolver,
                                             rx::SchedulerPtr scheduler)
    : resolver_(std::move(resolver)), scheduler_(std::move(scheduler)) {}

ConnectionMonitorImpl::~ConnectionMonitorImpl() {
    dispose();
}

void ConnectionMonitorImpl::observeDaemonOnline(const std::string& name) {
    logger().debug("Now observing 'settings daemon online' notification.");
    auto center = resolver_->resolve<DaemonOnlineCenter>();
    if (!center) {
        logger().error("No daemon-online notifications: no DaemonOnlineCenter is registered.");
        return;
    }
    std::weak_ptr<ConnectionMonitorImpl> weak = shared_from_this();
    auto observer = center->addObserver(name, [weak] {
        logger().info("Got notification from settings daemon being back online.");
        auto self = weak.lock();
        if (!self)
            return;
        self->scheduler_->schedule([weak] {
            if (auto monitor = weak.lock())
                monitor->recreateConnection();
        });
    });
    std::lock_guard lock(mutex_);
    subscriptions_.daemonOnline = rx::Disposables::create([observer] {
        logger().debug("Removing 'settings daemon online' notification observer.");
        observer->dispose();
    });
}

void ConnectionMonitorImpl::runJob(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        if (disposed_)
            return;
        jobs_.push_back(std::move(job));
        if (runningJobs_)
            return;  // the thread running jobs takes this one too
        runningJobs_ = true;
        jobThread_ = std::this_thread::get_id();
    }
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            if (jobs_.empty()) {
                runningJobs_ = false;
                jobsIdle_.notify_all();
                return;
            }
            next = std::move(jobs_.front());
            jobs_.pop_front();
        }
        next();
    }
}

void ConnectionMonitorImpl::publish(const std::shared_ptr<VKConnection>& connection) {
    try {
        connectionVar_.setValue(connection);
    } catch (...) {
        // An observer's failure is its own; the monitor carries on.
        logger().error("An observer of the connection failed: %@",
                       localizedErrorText(std::current_exception()));
    }
}

void ConnectionMonitorImpl::recreateConnection() {
    runJob([this] {
        rx::DisposablePtr connected, pending;
        std::shared_ptr<VKConnection> old;
        {
            std::lock_guard lock(mutex_);
            if (disposed_)
                return;
            // The old connection's completion is no longer watched, and a pending delayed
            // re-creation is cancelled.
            connected = std::exchange(subscriptions_.connected, nullptr);
            pending = std::exchange(subscriptions_.tryRecreateSchedule, nullptr);
            old = std::move(current_);
        }
        if (connected)
            connected->dispose();
        if (pending)
            pending->dispose();
        if (old)
            old->dispose();

        std::shared_ptr<VKConnection> connection;
        try {
            connection = resolver_->resolve<VKConnection>();
        } catch (...) {
            logger().error("Can't make a connection: %@",
                           localizedErrorText(std::current_exception()));
        }
        if (!connection) {
            logger().warning("No connection could be made; will try again in %d seconds.",
                             static_cast<int>(kPeriodOfRecreation.count()));
            // A disposed connection does not stay published.
            if (old)
                publish(nullptr);
            scheduleRecreation();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (disposed_)
                return;
            current_ = connection;
        }
        publish(connection);

        std::weak_ptr<ConnectionMonitorImpl> weak = shared_from_this();
        std::weak_ptr<VKConnection> watched = connection;
        auto subscription =
            connection->asObservable().observeOn(scheduler_).subscribe({}, {}, [weak, watched] {
                if (auto self = weak.lock())
                    self->handleConnectionCompletion(watched);
            });
        {
            std::lock_guard lock(mutex_);
            if (!disposed_) {
                subscriptions_.connected = std::move(subscription);
                return;
            }
        }
        // Disposed while publishing: dispose() may have published its empty value before this
        // connection, which must not stay published.
        subscription->dispose();
        publish(nullptr);
    });
}

void ConnectionMonitorImpl::handleConnectionCompletion(
    const std::weak_ptr<VKConnection>& completed) {
    runJob([this, completed] {
        {
            std::lock_guard lock(mutex_);
            // A connection replaced since it completed is not the one published any more.
            if (disposed_ || !current_ || completed.lock() != current_)
                return;
            // The completed connection is released, not disposed: it is finished already.
            current_ = nullptr;
        }
        publish(nullptr);
        scheduleRecreation();
    });
}

void ConnectionMonitorImpl::scheduleRecreation() {
    std::weak_ptr<ConnectionMonitorImpl> weak = shared_from_this();
    auto pending = scheduler_->scheduleAfter(kPeriodOfRecreation, [weak] {
        if (auto self = weak.lock())
            self->recreateConnection();
    });
    {
        std::lock_guard lock(mutex_);
        if (!disposed_) {
            subscriptions_.tryRecreateSchedule = std::move(pending);
            return;
        }
    }
    pending->dispose();
}

void ConnectionMonitorImpl::dispose() {
    rx::DisposablePtr daemonOnline, connected, pending;
    std::shared_ptr<VKConnection> released;  // released after the lock
    std::deque<std::function<void()>> dropped;
    {
        std::unique_lock lock(mutex_);
        if (disposed_)
            return;
        disposed_ = true;
        dropped.swap(jobs_);
        // A job in progress on another thread may still call the resolver and the observers:
        // wait for it, so that nothing of the host's is called once dispose() returns.
        if (runningJobs_ && jobThread_ != std::this_thread::get_id())
            jobsIdle_.wait(lock, [this] { return !runningJobs_; });
        daemonOnline = std::exchange(subscriptions_.daemonOnline, nullptr);
        connected = std::exchange(subscriptions_.connected, nullptr);
        pending = std::exchange(subscriptions_.tryRecreateSchedule, nullptr);
        released = std::move(current_);
    }
    for (const auto& d : {daemonOnline, connected, pending}) {
        if (d)
            d->dispose();
    }
    publish(nullptr);
}

bool ConnectionMonitorImpl::isDisposed() const {
    std::lock_guard lock(mutex_);
    return disposed_;
}

void ConnectionMonitorImpl::bootstrapSettings(const std::shared_ptr<VKContainer>& container,
                                              const std::string& domain, VKOwnership ownership,
                                              std::int64_t maxAttempts,
                                              std::uint32_t delayBetweenAttempts) {
    if (!container) {
        logger().error("Can't open/create settings without a root container.");
        throw VKError(VKError::invalidData);
    }
    VKError lastError = VKError::connectionLost;
    std::int64_t attempt = 0;
    do {
        ++attempt;
        if (auto connection = connectionVar_.value()) {
            try {
                connection->openOrCreateSettings(container, domain, ownership);
                return;
            } catch (const VKError& e) {
                lastError = e;
                logger().warning("Can't open/create settings (attempt=%d) - will retry. Error: %@",
                                 attempt, e);
                if (e == VKError::invalidFileData) {
                    try {
                        connection->deleteSettings(domain, ownership);
                    } catch (...) {
                        // The next attempt reports what is still wrong.
                    }
                }
            } catch (...) {
                logger().warning("Can't open/create settings (attempt=%d) - will retry. Error: %@",
                                 attempt, localizedErrorText(std::current_exception()));
                lastError = VKError::serverError;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayBetweenAttempts));
    } while (attempt < maxAttempts);
    logger().error("Can't open/create settings at all. Last error: %@", lastError);
    throw lastError;
}

}  // namespace velkor
