#pragma once

#include <string>
#include <variant>

#include "dbus/BusConnection.h"

namespace velkor {

/// Asks the daemon that owns (or may be started for) `serviceName` on `bus` for a direct channel
/// of our own, and connects to it: the daemon's answers and notices then come on a socket that
/// nobody else can write to, without passing through the bus daemon. Waits ten seconds at most.
///
/// Gives the connection, or why there is none: a daemon that offers no direct channels (an
/// older one, or one started with --no-direct-channels), a bus policy that does not let us ask,
/// a refusal (the user holds too many), or a failure. The transport then uses the bus.
std::variant<dbus::BusConnection, std::string> openDirectChannel(dbus::BusConnection& bus,
                                                                 const std::string& serviceName);

}  // namespace velkor
