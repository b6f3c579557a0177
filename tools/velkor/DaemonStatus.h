#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "velkor/VKOwnership.h"

namespace velkor::cli {

/// What velkord says of itself (org.velkor.SettingsDaemonStatus), and where it keeps a file.
struct DaemonStatus {
    /// Patterns of the domains whose shared file is a fleet file; empty without a fleet.
    std::vector<std::string> fleetDomains;
    bool fleetReachable = false;

    /// Asks the daemon on the bus at `busAddress` (empty: the system bus, honouring
    /// DBUS_SYSTEM_BUS_ADDRESS). Throws CommandError (unreachable) when it cannot be asked.
    static DaemonStatus read(const std::string& busAddress);

    /// Whether the file of `domain` and `ownership` is a fleet file.
    bool isFleetFile(const std::string& domain, const VKOwnership& ownership) const;

    /// Prints where the file of `domain` and `ownership` is kept, and how the fleet is.
    void print(std::ostream& out, const std::string& domain, const VKOwnership& ownership) const;
};

}  // namespace velkor::cli
