// A one-shot client of velkord that the integration tests run under another uid (setpriv), to
// see what the daemon and the bus policy allow that user. It prints one line and exits 0 once it
// has an answer, 1 when it has none, 2 on a usage error.
//
//   velkor_bus_probe ADDRESS SERVICE fetch USER DOMAIN    the answer to fetchSettings
//   velkor_bus_probe ADDRESS SERVICE delete USER DOMAIN   the answer to deleteSettings
//   velkor_bus_probe ADDRESS SERVICE introspect           "ok", or the D-Bus error name
//   velkor_bus_probe ADDRESS SERVICE own                  "owned", or the D-Bus error name

#include <cstdio>
#include <exception>
#include <string>

#include "dbus/BusError.h"
#include "internals/SettingsService.h"
#include "support/DaemonClient.h"

using namespace velkor;

namespace {

int print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    return 0;
}

/// Asks the bus for `name` directly, so that a refusal shows as the bus's error.
std::string own(dbus::BusConnection& bus, const std::string& name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "RequestName", &error, &reply, "su",
                               name.c_str(), 0u);
    dbus::Message owned(reply);
    std::string result = r < 0 ? (error.name ? error.name : "failed") : "owned";
    sd_bus_error_free(&error);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const std::string address = argv[1], service = argv[2], mode = argv[3];
    try {
        if (mode == "own" && argc == 4) {
            auto bus = dbus::BusConnection::open(address);
            return print(own(bus, service));
        }
        test::DaemonClient client(address, service);
        if (mode == "introspect" && argc == 4) {
            sd_bus_message* raw = nullptr;
            dbus::BusError::check(
                sd_bus_message_new_method_call(client.bus().get(), &raw, service.c_str(),
                                               dbus_names::kObjectPath,
                                               "org.freedesktop.DBus.Introspectable", "Introspect"),
                "Building a call");
            dbus::Message call(raw);
            std::string error = client.callForError(call);
            return print(error.empty() ? "ok" : error);
        }
        if ((mode == "fetch" || mode == "delete") && argc == 6) {
            const auto user = static_cast<std::uint32_t>(std::stoul(argv[4]));
            const std::string domain = argv[5];
            auto answer =
                mode == "fetch"
                    ? client.request(ClientRequest::FetchSettings{domain, user, "", false})
                    : client.request(ClientRequest::DeleteSettings{domain, user});
            if (!answer || !answer->response)
                return 1;
            return print(answer->response->description());
        }
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velkor_bus_probe: %s\n", e.what());
        return 1;
    }
}
