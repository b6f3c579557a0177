#include "DaemonStatus.h"

#include <fnmatch.h>
#include <systemd/sd-bus.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "CommandError.h"
#include "velkor/BKProductDefines.h"

namespace velkor::cli {

namespace {

constexpr const char* kObjectPath = "/org/velkor/SettingsDaemon";
constexpr const char* kInterface = "org.velkor.SettingsDaemonStatus";

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

[[noreturn]] void unreachable(const std::string& what, int error) {
    throw CommandError(ExitCode::connection,
                       "cannot ask the daemon " + what + ": " + std::strerror(-error));
}

std::unique_ptr<sd_bus, BusUnref> openBus(const std::string& address) {
    sd_bus* raw = nullptr;
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_system(&raw);
    } else {
        r = sd_bus_new(&raw);
        if (r >= 0)
            r = sd_bus_set_address(raw, address.c_str());
        if (r >= 0)
            r = sd_bus_set_bus_client(raw, 1);
        if (r >= 0)
            r = sd_bus_start(raw);
    }
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    if (r < 0)
        unreachable("(no bus)", r);
    return bus;
}

}  // namespace

DaemonStatus DaemonStatus::read(const std::string& busAddress) {
    auto bus = openBus(busAddress);
    const std::string service = BKProductDefines()
                                    .lookup(BKProductDefines::kDaemonServiceName)
                                    .value_or(BKProductDefines::kDefaultDaemonServiceName);
    DaemonStatus status;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char** patterns = nullptr;
    int r = sd_bus_get_property_strv(bus.get(), service.c_str(), kObjectPath, kInterface,
                                     "FleetDomains", &error, &patterns);
    if (r < 0) {
        const std::string why = error.message ? error.message : "";
        sd_bus_error_free(&error);
        throw CommandError(ExitCode::connection, "cannot ask " + service + " how it keeps files" +
                                                     (why.empty() ? "" : ": " + why));
    }
    for (char** p = patterns; p && *p; ++p) {
        status.fleetDomains.emplace_back(*p);
        std::free(*p);
    }
    std::free(patterns);
    int reachable = 0;
    r = sd_bus_get_property_trivial(bus.get(), service.c_str(), kObjectPath, kInterface,
                                    "FleetReachable", &error, 'b', &reachable);
    sd_bus_error_free(&error);
    if (r < 0)
        unreachable("whether the fleet is reachable", r);
    status.fleetReachable = reachable != 0;
    return status;
}

bool DaemonStatus::isFleetFile(const std::string& domain, const VKOwnership& ownership) const {
    if (ownership.userNumber() != 1)
        return false;
    std::string lower = domain;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& pattern : fleetDomains)
        if (fnmatch(pattern.c_str(), lower.c_str(), 0) == 0)
            return true;
    return false;
}

void DaemonStatus::print(std::ostream& out, const std::string& domain,
                         const VKOwnership& ownership) const {
    std::string patterns;
    for (const auto& pattern : fleetDomains)
        patterns += (patterns.empty() ? "" : ", ") + pattern;
    out << domain << " (user " << ownership.userNumber() << "): ";
    if (isFleetFile(domain, ownership))
        out << "a fleet file, kept in etcd and shared by every machine of the fleet\n";
    else
        out << "a file of this machine\n";
    if (fleetDomains.empty()) {
        out << "fleet: none (this velkord keeps every file on this machine)\n";
        return;
    }
    out << "fleet: the shared files of " << patterns << "; etcd is "
        << (fleetReachable ? "reachable"
                           : "unreachable (fleet changes are refused; reads give the last content "
                             "seen)")
        << "\n";
}

}  // namespace velkor::cli
