#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <string>
#include <vector>

#include "dbus/Slot.h"

namespace velkor::daemon {

/// What org.velkor.SettingsDaemonStatus reports.
struct DaemonStatus {
    /// Patterns of the domains whose shared file is a fleet file; empty without a fleet.
    std::vector<std::string> fleetDomains;
    /// Whether etcd answered the fleet's last call; none without a fleet.
    std::function<bool()> fleetReachable;
};

inline constexpr const char* kStatusInterface = "org.velkor.SettingsDaemonStatus";

/// Serves org.velkor.SettingsDaemonStatus at velkord's object on `bus`, as its installed
/// introspection file says. `status` must outlive the slot. Throws BusError.
dbus::Slot serveStatus(sd_bus* bus, const DaemonStatus& status);

}  // namespace velkor::daemon
