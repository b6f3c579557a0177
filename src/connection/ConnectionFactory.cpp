#include "basalt/QZLogger.h"
#include "channel/XpcChannelToServerFactory.h"
#include "connection/ConnectionImpl.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"

namespace velkor {

void VKConnectionFactory::registerWith(di::Container& container, rx::SchedulerPtr scheduler) {
    auto resolver = container.synchronize();
    container
        .registerFactory<VKConnection>([resolver, scheduler](
                                           const di::Resolver&) -> std::shared_ptr<VKConnection> {
            static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
            log.debug("Creating Settings connection...");
            auto s = scheduler
                         ? scheduler
                         : std::make_shared<rx::ConcurrentDispatchQueueScheduler>("ConnectionImpl");
            return ConnectionImpl::make(*resolver, s);
        })
        .inObjectScope(di::ObjectScope::transient);
    XpcChannelToServerFactory::registerWith(container);
    VKConnectionMonitorFactory::registerWith(container, scheduler);
}

}  // namespace velkor
