#include "bus/StatusVtable.h"

#include "dbus/BusError.h"
#include "internals/SettingsService.h"

namespace velkor::daemon {

namespace {

int fleetDomains(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                 void* userdata, sd_bus_error*) {
    const auto& status = *static_cast<const DaemonStatus*>(userdata);
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const auto& pattern : status.fleetDomains) {
        if (r >= 0)
            r = sd_bus_message_append_basic(reply, 's', pattern.c_str());
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int fleetReachable(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                   void* userdata, sd_bus_error*) {
    const auto& status = *static_cast<const DaemonStatus*>(userdata);
    const int reachable = status.fleetReachable && status.fleetReachable() ? 1 : 0;
    return sd_bus_message_append_basic(reply, 'b', &reachable);
}

const sd_bus_vtable* statusVtable() {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("FleetDomains", "as", fleetDomains, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
        SD_BUS_PROPERTY("FleetReachable", "b", fleetReachable, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
        SD_BUS_VTABLE_END,
    };
    return vtable;
}

}  // namespace

dbus::Slot serveStatus(sd_bus* bus, const DaemonStatus& status) {
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(
        sd_bus_add_object_vtable(bus, &raw, dbus_names::kObjectPath, kStatusInterface,
                                 statusVtable(), const_cast<DaemonStatus*>(&status)),
        "Serving the status interface");
    return dbus::Slot(raw);
}

}  // namespace velkor::daemon
