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

using namespace velkor;
using namespace velkor::daemon;

namespace {

/// Tells the person who started the daemon why it stops: whatever the log level, on standard
/// error.
int fail(const std::string& why) {
    std::fprintf(stderr, "velkord: %s\n", why.c_str());
    return 1;
}

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
        DaemonService service(std::move(bus), store, loop, options.serviceName,
                              options.serviceLimits, options.directChannels);
        if (!service.start())
            return fail(nameTaken(options));
        return service.run();
    } catch (const dbus::BusError& e) {
        return fail(std::string("bus failure: ") + e.what());
    } catch (const DatabaseError& e) {
        return fail("can't open the store " + options.databasePath + ": " + e.what());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
