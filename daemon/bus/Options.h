#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bus/ServiceLimits.h"
#include "core/Durability.h"
#include "core/StoreLimits.h"
#include "fleet/FleetLimits.h"
#include "velkor/Log.h"

namespace velkor::daemon {

/// Where the fleet's files are kept (see docs/fleet.md): none unless `endpoints` is given.
struct FleetSettings {
    /// etcd members' client addresses, "host:port".
    std::vector<std::string> endpoints;
    /// Domains whose shared file is a fleet file: shell patterns, lower case.
    std::vector<std::string> domains;
    /// The key prefix of the fleet's files in etcd.
    std::string prefix = "/velkor/";
    /// The local copy; empty: the store's path with ".fleet" added.
    std::string cachePath;
    /// TLS: the members' CA, and this machine's certificate and key.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    /// etcd authentication: the user, and a file holding the password.
    std::string user;
    std::string passwordFile;
    /// How long a fleet request may wait for etcd.
    std::chrono::milliseconds timeout{4000};
    /// The largest etcd transaction one fleet change may make.
    std::size_t maxChangeBytes = fleet::kMaxChangeBytes;
};

/// velkord's command line.
struct Options {
    /// The bus to serve on; empty for the system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
    std::string busAddress;
    /// The store. Its directory must exist; the systemd unit has it made (StateDirectory).
    std::string databasePath = "/var/lib/velkor/settings.db";
    Durability durability = Durability::normal;
    /// The well-known name to own: the product's daemon service name unless given.
    std::string serviceName;
    /// The lowest level logged; none keeps the default (VELKOR_LOG_LEVEL, else warning).
    std::optional<LogLevel> logLevel;
    /// The store's bounds on file and answer sizes.
    StoreLimits storeLimits;
    /// What each client may have waiting.
    ServiceLimits serviceLimits;
    /// Whether clients may ask for direct channels; without them every client uses the bus.
    bool directChannels = true;
    /// The fleet, if any.
    FleetSettings fleet;
    /// Lines about one client logged per minute at most (`LogThrottle`).
    std::size_t logLinesPerClient = 10;

    /// Reads the command line. Gives the options, or the status to exit with at once: 0 after
    /// --help or --version (printed to standard output), 2 after a usage error (explained on
    /// standard error).
    static std::variant<Options, int> parse(int argc, const char* const* argv);
};

}  // namespace velkor::daemon
