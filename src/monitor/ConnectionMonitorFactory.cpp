#include "basalt/QZLogger.h"
#include "monitor/ConnectionMonitorImpl.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"

namespace velkor {

void VKConnectionMonitorFactory::registerWith(di::Container& container,
                                              rx::SchedulerPtr scheduler) {
    auto resolver = container.synchronize();
    container
        .registerFactory<VKConnectionMonitor>(
            [resolver, scheduler](const di::Resolver&) -> std::shared_ptr<VKConnectionMonitor> {
                static auto& log =
                    basalt::QZLogger::loggerWithIdentifier("Velkor.ConnectionMonitor");
                log.debug("Creating Settings Connection monitor...");
                auto s = scheduler ? scheduler
                                   : std::make_shared<rx::ConcurrentDispatchQueueScheduler>(
                                         "ConnectionMonitorImpl");
                return ConnectionMonitorImpl::make(resolver, s);
            })
        .inObjectScope(di::ObjectScope::transient);
}

}  // namespace velkor
