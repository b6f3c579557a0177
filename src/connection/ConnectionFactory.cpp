#include "basalt/QZLogger.h"
#include "channel/XpcChannelToServerFactory.h"
#include "connection/ConnectionImpl.h"
#include "connection/ServiceRegistration.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"

namespace velkor {

void VKConnectionFactory::registerWith(di::Container& container, rx::SchedulerPtr scheduler) {
    ServiceSettings settings;
    settings.scheduler = std::move(scheduler);
    registerConnectionServices(container, settings);
}

void registerConnectionServices(di::Container& container, const ServiceSettings& settings) {
    auto resolver = container.synchronize();
    container
        .registerFactory<VKConnection>([resolver, scheduler = settings.scheduler,
                                        timeout = settings.requestTimeout](
                                           const di::Resolver&) -> std::shared_ptr<VKConnection> {
            static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
            log.debug("Creating Settings connection...");
            auto s = scheduler
                         ? scheduler
                         : std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionImpl");
            return ConnectionImpl::make(*resolver, s, timeout);
        })
        .inObjectScope(di::ObjectScope::transient);
    XpcChannelToServerFactory::registerWith(
        container, settings.busAddress,
        std::chrono::ceil<std::chrono::milliseconds>(settings.requestTimeout));
    registerMonitorService(container, settings);
}

}  // namespace velkor
