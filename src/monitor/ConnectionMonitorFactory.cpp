#include "basalt/QZLogger.h"
#include "connection/ServiceRegistration.h"
#include "monitor/ConnectionMonitorImpl.h"
#include "monitor/DBusDaemonOnlineCenter.h"
#include "utils/OperationDeadline.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"

namespace velkor {

void VKConnectionMonitorFactory::registerWith(di::Container& container,
                                              rx::SchedulerPtr scheduler) {
    ServiceSettings settings;
    settings.scheduler = std::move(scheduler);
    registerMonitorService(container, settings);
}

void registerMonitorService(di::Container& container, const ServiceSettings& settings) {
    auto resolver = container.synchronize();
    container
        .registerFactory<VKConnectionMonitor>(
            [resolver, scheduler = settings.scheduler, timeout = settings.requestTimeout](
                const di::Resolver&) -> std::shared_ptr<VKConnectionMonitor> {
                static auto& log =
                    basalt::QZLogger::loggerWithIdentifier("Velkor.ConnectionMonitor");
                log.debug("Creating Settings Connection monitor...");
                auto s = scheduler ? scheduler
                                   : std::make_shared<rx::ConcurrentDispatchQueueScheduler>(
                                         "ConnectionMonitorImpl");
                // The monitor's own bus connection and its first connection share one request
                // time-out: a saturated bus costs the caller one time-out, not two.
                OperationDeadline deadline(
                    std::chrono::duration_cast<OperationDeadline::Clock::duration>(timeout));
                return ConnectionMonitorImpl::make(resolver, s);
            })
        .inObjectScope(di::ObjectScope::transient);
    // The monitor's own dependency: word of the daemon coming online, from the daemon's bus.
    container
        .registerFactory<DaemonOnlineCenter>(
            [busAddress = settings.busAddress,
             timeout = std::chrono::ceil<std::chrono::milliseconds>(settings.requestTimeout)](
                const di::Resolver&) { return DBusDaemonOnlineCenter::make(busAddress, timeout); })
        .inObjectScope(di::ObjectScope::transient);
}

}  // namespace velkor
