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

void ConnectionMonitorImpl::recreateConnection() {
    std::lock_guard lock(mutex_);
    if (disposed_)
        return;
    if (auto connected = std::exchange(subscriptions_.connected, nullptr))
        connected->dispose();
    if (auto pending = std::exchange(subscriptions_.tryRecreateSchedule, nullptr)) {
        pending->dispose();
    }
    if (auto old = connectionVar_.value())
        old->dispose();

    auto connection = resolver_->resolve<VKConnection>();
    if (!connection)
        return;
    connectionVar_.setValue(connection);

    std::weak_ptr<ConnectionMonitorImpl> weak = shared_from_this();
    subscriptions_.connected =
        connection->asObservable().observeOn(scheduler_).subscribe({}, {}, [weak] {
            if (auto self = weak.lock())
                self->handleConnectionCompletion();
        });
}

void ConnectionMonitorImpl::handleConnectionCompletion() {
    std::lock_guard lock(mutex_);
    if (disposed_)
        return;
    // The completed connection is released, not disposed: it is finished already.
    connectionVar_.setValue(nullptr);
    std::weak_ptr<ConnectionMonitorImpl> weak = shared_from_this();
    subscriptions_.tryRecreateSchedule = scheduler_->scheduleAfter(kPeriodOfRecreation, [weak] {
        if (auto self = weak.lock())
            self->recreateConnection();
    });
}

void ConnectionMonitorImpl::dispose() {
    rx::DisposablePtr daemonOnline, connected, pending;
    {
        std::lock_guard lock(mutex_);
        if (disposed_)
            return;
        disposed_ = true;
        daemonOnline = std::exchange(subscriptions_.daemonOnline, nullptr);
        connected = std::exchange(subscriptions_.connected, nullptr);
        pending = std::exchange(subscriptions_.tryRecreateSchedule, nullptr);
    }
    for (const auto& d : {daemonOnline, connected, pending}) {
        if (d)
            d->dispose();
    }
    connectionVar_.setValue(nullptr);
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
