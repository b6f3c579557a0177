#pragma once

#include <chrono>
#include <string>

#include "velkor/BKProductDefines.h"
#include "velkor/VKConnection.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/rx/Scheduler.h"

namespace velkor {

/// How velkor::connect and velkor::makeMonitor reach the settings daemon. The defaults reach
/// the installed velkord on the system bus.
struct ConnectionOptions {
    /// The daemon's D-Bus service name; what BKProductDefines names under selector 2.
    std::string serviceName = BKProductDefines::kDefaultDaemonServiceName;
    /// The address of the daemon's bus (e.g. "unix:path=/run/user/1000/bus"); empty: the system
    /// bus, or the bus in DBUS_SYSTEM_BUS_ADDRESS when that is set.
    std::string busAddress{};
    /// Where container events (and the monitor's re-creations) are delivered; empty: a small
    /// pool per connection (and per monitor). See VKConnectionFactory::registerWith.
    rx::SchedulerPtr scheduler{};
    /// How long one request waits for the daemon's answer before failing with connectionLost;
    /// more than zero and at most a day. It also bounds connecting (which waits for the bus only,
    /// trying again while the bus is momentarily full), a request's wait for the daemon to hand
    /// out a direct channel (part of that request's time-out), an opening as a whole (all its
    /// requests, and its wait for another opening on the same connection), making a monitor as a
    /// whole, and a container's change as a whole (its wait for another thread's change of the
    /// same container, and its own request).
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(5);
};

/// Connects to the settings daemon without a dependency container of the host's:
///
///     auto connection = velkor::connect();
///     auto settings = connection->openDictionary("org.example.app");
///
/// The connection is built by the factories that VKConnectionFactory::registerWith registers,
/// exactly as a host with a container gets it, and lives until it is disposed or released. It
/// works until the daemon goes away; applications that must outlive daemon restarts use
/// makeMonitor instead.
///
/// Takes at most the request time-out, and never waits for the daemon itself: a stopped daemon
/// costs the first request its time-out, not connecting.
///
/// Throws VKError: invalidData for an empty service name or a request time-out out of range
/// (nothing is built); cannotConnect, with an error-level log line, when no connection can be
/// built or the daemon can be neither reached nor started on the bus.
VKConnectionPtr connect(const ConnectionOptions& options = {});

/// A connection monitor (see VKConnectionMonitor) built by the factories that
/// VKConnectionFactory::registerWith registers, for hosts without a dependency container. It
/// publishes a first connection at once when the daemon can be reached, and replaces lost ones
/// for as long as it lives: a daemon that is not running yet is no error here.
///
/// Takes at most the request time-out in all: the monitor's own bus connection (for word of the
/// daemon coming online) and its first connection share it.
///
/// Throws VKError: invalidData for invalid options, as connect; cannotConnect (logged) when no
/// monitor can be built.
VKConnectionMonitorPtr makeMonitor(const ConnectionOptions& options = {});

}  // namespace velkor
