#include "monitor/DBusDaemonOnlineCenter.h"

#include <cerrno>
#include <vector>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"
#include "dbus/NameOwnerChanged.h"
#include "utils/OperationDeadline.h"
#include "velkor/rx/Disposables.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ConnectionMonitor");
    return log;
}

}  // namespace

std::shared_ptr<DBusDaemonOnlineCenter> DBusDaemonOnlineCenter::make(
    const std::string& busAddress, std::chrono::milliseconds timeout) {
    try {
        auto bus = dbus::BusConnection::open(busAddress, OperationDeadline::current(timeout));
        std::shared_ptr<DBusDaemonOnlineCenter> center(
            new DBusDaemonOnlineCenter(std::move(bus), timeout));
        center->start();
        return center;
    } catch (const dbus::BusError& e) {
        logger().error("Can't observe the settings daemon coming online: %@", e.what());
        return nullptr;
    }
}

DBusDaemonOnlineCenter::DBusDaemonOnlineCenter(dbus::BusConnection bus,
                                               std::chrono::milliseconds timeout)
    : timeout_(timeout), loop_(std::move(bus)) {}

DBusDaemonOnlineCenter::~DBusDaemonOnlineCenter() {
    loop_.stop();
    std::lock_guard lock(mutex_);
    loop_.withBus([&](dbus::BusConnection&) { matches_.clear(); });
}

void DBusDaemonOnlineCenter::start() {
    std::weak_ptr<DBusDaemonOnlineCenter> weak = weak_from_this();
    loop_.start(
        [weak](const dbus::Message& message) {
            if (auto self = weak.lock())
                self->handleMessage(message);
        },
        [] {
            logger().warning(
                "Bus connection closed: no more notifications of the settings daemon coming "
                "online.");
        });
}

rx::DisposablePtr DBusDaemonOnlineCenter::addObserver(const std::string& name,
                                                      std::function<void()> callback) {
    std::uint64_t key = 0;
    {
        std::lock_guard lock(mutex_);
        auto& match = matches_[name];
        if (!match.slot) {
            try {
                match.slot = loop_.withBus([&](dbus::BusConnection& bus) {
                    // What is left of the operation that subscribes (making a monitor), or
                    // the whole time-out.
                    auto left = std::chrono::ceil<std::chrono::microseconds>(
                        OperationDeadline::current(timeout_) - std::chrono::steady_clock::now());
                    if (left.count() <= 0)
                        throw dbus::BusError("Subscribing to the bus", ETIMEDOUT);
                    bus.setCallTimeout(left);
                    return bus.addMatch(dbus::NameOwnerChanged::matchRule(name));
                });
            } catch (const dbus::BusError& e) {
                matches_.erase(name);
                logger().error("Can't observe the settings daemon '%@' coming online: %@", name,
                               e.what());
                return rx::Disposables::create();
            }
        }
        ++match.observers;
        key = ++nextKey_;
        observers_.emplace(
            key,
            Observer{name, std::make_shared<const std::function<void()>>(std::move(callback))});
    }
    return rx::Disposables::create(
        [center = shared_from_this(), key] { center->removeObserver(key); });
}

void DBusDaemonOnlineCenter::removeObserver(std::uint64_t key) {
    std::lock_guard lock(mutex_);
    auto observer = observers_.find(key);
    if (observer == observers_.end())
        return;
    auto match = matches_.find(observer->second.name);
    observers_.erase(observer);
    if (match != matches_.end() && --match->second.observers == 0) {
        loop_.withBus([&](dbus::BusConnection&) { matches_.erase(match); });
    }
}

void DBusDaemonOnlineCenter::handleMessage(const dbus::Message& message) {
    auto change = dbus::NameOwnerChanged::parse(message);
    if (!change || change->newOwner.empty())
        return;
    std::vector<std::shared_ptr<const std::function<void()>>> callbacks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, observer] : observers_) {
            if (observer.name == change->name)
                callbacks.push_back(observer.callback);
        }
    }
    for (const auto& callback : callbacks)
        (*callback)();
}

}  // namespace velkor
