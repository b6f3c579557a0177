#pragma once

#include <chrono>
#include <string>

#include "velkor/di/Container.h"
#include "velkor/rx/Scheduler.h"

namespace velkor {

/// What the library's registered factories build their objects with. VKConnectionFactory and
/// VKConnectionMonitorFactory register with the defaults; velkor::connect and
/// velkor::makeMonitor with the host's ConnectionOptions, through the very same factories.
struct ServiceSettings {
    /// Where container events and re-creations run; empty: a pool per built object.
    rx::SchedulerPtr scheduler;
    /// The bus of the daemon; empty: the system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
    std::string busAddress;
    /// How long one request waits for the daemon's answer.
    std::chrono::nanoseconds requestTimeout = std::chrono::seconds(5);
};

/// The registrations of VKConnectionFactory::registerWith: `VKConnection`, the transport, and
/// the monitor's (registerMonitorService).
void registerConnectionServices(di::Container& container, const ServiceSettings& settings);

/// The registrations of VKConnectionMonitorFactory::registerWith: `VKConnectionMonitor` and the
/// daemon-online centre it observes.
void registerMonitorService(di::Container& container, const ServiceSettings& settings);

}  // namespace velkor
