#include "dbus/BusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <stdexcept>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"

namespace velkor::dbus {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.DBus");
    return log;
}

/// Milliseconds from now until the absolute CLOCK_MONOTONIC time `deadline` (microseconds),
/// rounded up; -1 for none.
int pollTimeout(std::uint64_t deadline) {
    if (deadline == UINT64_MAX)
        return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (deadline <= nowUsec)
        return 0;
    std::uint64_t ms = (deadline - nowUsec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

BusLoop::Shared::Shared(BusConnection bus)
    : bus(std::move(bus)), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd < 0)
        throw BusError("Creating the bus loop's wake-up descriptor", errno);
}

BusLoop::Shared::~Shared() {
    close(wakeFd);
}

void BusLoop::Shared::wake() {
    std::uint64_t one = 1;
    // Fails only when the counter is already huge, and then the loop is woken anyway.
    [[maybe_unused]] auto written = write(wakeFd, &one, sizeof one);
}

void BusLoop::Shared::wakeIfNeeded() {
    if (!sleeping)
        return;  // the loop reads the connection's state again before it sleeps
    std::uint64_t timeout = UINT64_MAX;
    int timeoutResult = sd_bus_get_timeout(bus.get(), &timeout);
    if (sd_bus_get_events(bus.get()) != sleepEvents || timeoutResult < 0 ||
        timeout != sleepTimeout) {
        sleeping = false;
        wake();
    }
}

template <typename F>
void BusLoop::Shared::callHandler(F&& f) {
    if (stopping.load())
        return;
    try {
        f();
    } catch (const std::exception& e) {
        logger().error("Bus handler failed: %@", e.what());
    } catch (...) {
        logger().error("Bus handler failed.");
    }
}

void BusLoop::Shared::run() {
    loopThread.store(std::this_thread::get_id());
    std::unique_lock lock(mutex);
    while (!stopping.load() && processOnce(lock)) {
    }
}

bool BusLoop::Shared::processOnce(std::unique_lock<std::recursive_mutex>& lock) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_process(bus.get(), &raw);
    Message message(raw);  // released on return, under the lock
    bool closed = r < 0 || (raw && sd_bus_message_is_signal(raw, "org.freedesktop.DBus.Local",
                                                            "Disconnected") > 0);
    if (closed) {
        sd_bus_close(bus.get());
        lock.unlock();
        logger().debug("Bus connection closed.");
        if (onDisconnect)
            callHandler([&] { onDisconnect(); });
        lock.lock();
        return false;
    }
    if (message) {
        lock.unlock();
        if (onMessage)
            callHandler([&] { onMessage(message); });
        lock.lock();
        return true;
    }
    if (r == 0)
        waitForWork(lock);
    return true;
}

void BusLoop::Shared::waitForWork(std::unique_lock<std::recursive_mutex>& lock) {
    int fd = sd_bus_get_fd(bus.get());
    int events = sd_bus_get_events(bus.get());
    std::uint64_t timeout = UINT64_MAX;
    if (fd < 0 || events < 0 || sd_bus_get_timeout(bus.get(), &timeout) < 0)
        return;  // the next sd_bus_process reports the closed connection
    sleeping = true;
    sleepEvents = events;
    sleepTimeout = timeout;
    lock.unlock();

    pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {wakeFd, POLLIN, 0}};
    int ready = poll(fds, 2, pollTimeout(timeout));
    if (ready > 0 && (fds[1].revents & POLLIN)) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = read(wakeFd, &count, sizeof count);
    }

    lock.lock();
    sleeping = false;
}

BusLoop::BusLoop(BusConnection bus) : shared_(std::make_shared<Shared>(std::move(bus))) {}

BusLoop::~BusLoop() {
    shared_->stopping.store(true);
    shared_->wake();
    std::lock_guard guard(joinMutex_);
    if (!thread_.joinable())
        return;
    // Destroyed from its own handler: the thread still holds the shared state and ends when the
    // handler returns.
    if (isLoopThread())
        thread_.detach();
    else
        thread_.join();
}

void BusLoop::start(MessageHandler onMessage, DisconnectHandler onDisconnect) {
    std::lock_guard guard(joinMutex_);
    if (thread_.joinable() || shared_->stopping.load())
        throw std::logic_error("BusLoop started twice or after stop");
    shared_->onMessage = std::move(onMessage);
    shared_->onDisconnect = std::move(onDisconnect);
    thread_ = std::thread([shared = shared_] { shared->run(); });
}

void BusLoop::stop() {
    shared_->stopping.store(true);
    shared_->wake();
    if (isLoopThread())
        return;
    std::lock_guard guard(joinMutex_);
    if (thread_.joinable())
        thread_.join();
}

}  // namespace velkor::dbus
