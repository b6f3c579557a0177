// velkord: the Velkor settings daemon. Opens the store, takes the service name on the bus and
// serves requests until SIGTERM or SIGINT.

#include <cstdio>
#include <exception>
#include <string>

#include "bus/DaemonService.h"
#include "bus/EventLoop.h"
#include "bus/Options.h"
#include "core/DatabaseError.h"
#include "core/LogThrottle.h"
#include "core/SettingsStore.h"
#include "dbus/BusConnection.h"
#include "dbus/BusError.h"

#ifdef VELKOR_FLEET
#include <fstream>
#include <memory>
#include <sstream>

#include "fleet/EtcdError.h"
#include "fleet/FleetStore.h"
#endif

using namespace velkor;
using namespace velkor::daemon;

namespace {

/// Tells the person who started the daemon why it stops: whatever the log level, on standard
/// error.
int fail(const std::string& why) {
    std::fprintf(stderr, "velkord: %s\n", why.c_str());
    return 1;
}

#ifdef VELKOR_FLEET
/// The fleet store the options ask for, or none.
std::unique_ptr<fleet::FleetStore> openFleet(const Options& options) {
    const auto& settings = options.fleet;
    if (settings.endpoints.empty())
        return nullptr;
    fleet::FleetOptions fleetOptions;
    fleetOptions.etcd.endpoints = settings.endpoints;
    fleetOptions.etcd.caFile = settings.caFile;
    fleetOptions.etcd.certFile = settings.certFile;
    fleetOptions.etcd.keyFile = settings.keyFile;
    fleetOptions.etcd.user = settings.user;
    if (!settings.passwordFile.empty()) {
        std::ifstream file(settings.passwordFile);
        std::getline(file, fleetOptions.etcd.password);
        if (!file && !file.eof())
            throw std::runtime_error("can't read " + settings.passwordFile);
    }
    fleetOptions.domains = settings.domains;
    fleetOptions.prefix = settings.prefix;
    fleetOptions.cachePath = settings.cachePath;
    fleetOptions.durability = options.durability;
    fleetOptions.limits = options.storeLimits;
    fleetOptions.requestTimeout = settings.timeout;
    fleetOptions.maxChangeBytes = settings.maxChangeBytes;
    return std::make_unique<fleet::FleetStore>(std::move(fleetOptions));
}
#endif

std::string nameTaken(const Options& options) {
    return "the name " + options.serviceName +
           " is already owned by another connection on this bus (is velkord running already?).";
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = Options::parse(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const auto& options = std::get<Options>(parsed);
    if (options.logLevel)
        setLogSink(nullptr, *options.logLevel);
    LogThrottle::shared().setPerClient(options.logLinesPerClient);

    try {
        // First: it blocks the stop signals, which then wait for the loop.
        EventLoop loop;
        auto bus = dbus::BusConnection::open(options.busAddress);
        // Checked before the store is opened; the name request below settles any race.
        if (bus.nameOwner(options.serviceName))
            return fail(nameTaken(options));
        SettingsStore store(options.databasePath, options.durability, options.storeLimits);
#ifdef VELKOR_FLEET
        auto fleetStore = openFleet(options);
#else
        if (!options.fleet.endpoints.empty())
            return fail("this velkord was built without fleet support.");
#endif
        DaemonService service(std::move(bus), store, loop, options.serviceName,
                              options.serviceLimits, options.directChannels);
#ifdef VELKOR_FLEET
        if (fleetStore) {
            service.setStatus(DaemonStatus{options.fleet.domains,
                                           [&fleetStore] { return fleetStore->reachable(); }});
            service.serveAlso(*fleetStore, [&fleetStore](const ClientRequest& request) {
                return fleetStore->serves(request);
            });
        }
#endif
        if (!service.start())
            return fail(nameTaken(options));
#ifdef VELKOR_FLEET
        if (fleetStore)
            fleetStore->start([&service](std::vector<Notice> notices) {
                service.postNotices(std::move(notices));
            });
        const int status = service.run();
        // Its thread may post notices to the service: it stops first.
        if (fleetStore)
            fleetStore->stop();
        return status;
#else
        return service.run();
#endif
    } catch (const dbus::BusError& e) {
        return fail(std::string("bus failure: ") + e.what());
    } catch (const DatabaseError& e) {
        return fail("can't open the store " + options.databasePath + ": " + e.what());
#ifdef VELKOR_FLEET
    } catch (const fleet::EtcdError& e) {
        return fail(std::string("can't use the fleet: ") + e.what());
#endif
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
