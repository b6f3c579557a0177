#pragma once

#include "velkor/di/Container.h"
#include "velkor/rx/Scheduler.h"

namespace velkor {

/// Registers the library's services with the host's dependency container: `VKConnection` (a new
/// connection per resolution, each with its own transport to the daemon), the transport itself
/// and `VKConnectionMonitor`. The host registers a `BKProductDefines` in the same container.
///
/// Without a scheduler, every connection gets a pool of its own (labelled "ConnectionImpl") for
/// delivering container events; with one, all connections share it.
class VKConnectionFactory {
  public:
    VKConnectionFactory() = delete;
    static void registerWith(di::Container& container, rx::SchedulerPtr scheduler = nullptr);
};

/// Registers `VKConnectionMonitor`, and the monitor's source of word that the daemon came online
/// (the D-Bus NameOwnerChanged of its name). Without a scheduler every monitor gets a pool of its
/// own (labelled "ConnectionMonitorImpl") for re-creating connections.
class VKConnectionMonitorFactory {
  public:
    VKConnectionMonitorFactory() = delete;
    static void registerWith(di::Container& container, rx::SchedulerPtr scheduler = nullptr);
};

}  // namespace velkor
