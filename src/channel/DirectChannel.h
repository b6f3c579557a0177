#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <variant>

#include "dbus/BusConnection.h"

namespace velkor {

/// A direct channel to the daemon, connected, or why there is none: a daemon that offers no
/// direct channels (an older one, or one started with --no-direct-channels), a bus policy that
/// does not let us ask, a refusal (the user holds too many), no answer in time, or a failure.
using DirectChannelOffer = std::variant<dbus::BusConnection, std::string>;

/// Asks the daemon that owns (or may be started for) `serviceName` on `bus` for a direct channel
/// of our own, without waiting: the daemon's answers and notices then come on a socket that
/// nobody else can write to, without passing through the bus daemon. `done` gets the offer once
/// the daemon answers, `timeout` has passed or the connection closes, on the thread that
/// processes `bus` (BusLoop's, under its lock); it is not called if the connection is released
/// first. Throws BusError when the question cannot be sent.
void askForDirectChannel(dbus::BusConnection& bus, const std::string& serviceName,
                         std::chrono::microseconds timeout,
                         std::function<void(DirectChannelOffer)> done);

/// The method call that asks `serviceName` for a direct channel, for those who send it
/// themselves.
dbus::Message directChannelCall(dbus::BusConnection& bus, const std::string& serviceName);

/// What the daemon's answer to that call offers; an error answer gives its reason.
DirectChannelOffer directChannelFromAnswer(sd_bus_message* answer);

}  // namespace velkor
