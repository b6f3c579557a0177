#include "velkor/Connect.h"

#include <atomic>

#include "basalt/QZLogger.h"
#include "connection/ServiceRegistration.h"
#include "velkor/VKError.h"
#include "velkor/di/Container.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

// Arguments are checked before anything is built, and refused without a log line.
void check(const ConnectionOptions& options) {
    if (options.serviceName.empty() ||
        options.requestTimeout <= std::chrono::milliseconds::zero() ||
        options.requestTimeout > std::chrono::hours(24)) {
        throw VKError(VKError::invalidData);
    }
}

std::string busOf(const ConnectionOptions& options) {
    return options.busAddress.empty() ? std::string("the system bus") : options.busAddress;
}

// A container of the host's kind, holding what a host with one registers: the product record
// naming the daemon and the library's factories.
void registerServices(di::Container& container, const ConnectionOptions& options) {
    container.registerFactory<BKProductDefines>([name = options.serviceName](const di::Resolver&) {
        return std::make_shared<BKProductDefines>(
            std::map<int, std::string>{{BKProductDefines::kDaemonServiceName, name}});
    });
    ServiceSettings settings;
    settings.scheduler = options.scheduler;
    settings.busAddress = options.busAddress;
    settings.requestTimeout = options.requestTimeout;
    registerConnectionServices(container, settings);
}

// A monitor together with the container whose factories it builds its connections with; the
// handle that makeMonitor gives out keeps both.
struct MonitorWithServices {
    di::Container container;
    VKConnectionMonitorPtr monitor;
    ~MonitorWithServices() {
        if (monitor)
            monitor->dispose();
    }
};

}  // namespace

VKConnectionPtr connect(const ConnectionOptions& options) {
    check(options);
    di::Container container;
    registerServices(container, options);
    auto connection = container.resolve<VKConnection>();
    if (!connection) {
        logger().error("Can't connect to settings daemon '%@' on %@: no connection was built.",
                       options.serviceName, busOf(options));
        throw VKError(VKError::cannotConnect);
    }
    // A transport that cannot reach the bus, or finds the daemon neither running nor startable,
    // closes while it is built (logging why), and the connection's stream has completed by now.
    auto lost = std::make_shared<std::atomic<bool>>(false);
    connection->asObservable()
        .subscribe(
            {}, [lost](rx::Error) { *lost = true; }, [lost] { *lost = true; })
        ->dispose();
    if (*lost) {
        connection->dispose();
        logger().error(
            "Can't connect to settings daemon '%@' on %@: neither it nor the bus can be reached.",
            options.serviceName, busOf(options));
        throw VKError(VKError::cannotConnect);
    }
    return connection;
}

VKConnectionMonitorPtr makeMonitor(const ConnectionOptions& options) {
    check(options);
    auto built = std::make_shared<MonitorWithServices>();
    registerServices(built->container, options);
    built->monitor = built->container.resolve<VKConnectionMonitor>();
    if (!built->monitor) {
        logger().error("Can't create a monitor of settings daemon '%@' on %@.", options.serviceName,
                       busOf(options));
        throw VKError(VKError::cannotConnect);
    }
    auto* monitor = built->monitor.get();
    return VKConnectionMonitorPtr(std::move(built), monitor);
}

}  // namespace velkor
