#include "bus/ObjectVtables.h"

#include <cstring>
#include <exception>
#include <iterator>

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"
#include "internals/SettingsService.h"

namespace velkor::daemon {

namespace {

constexpr auto kMethodFlags = SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY;
constexpr auto& kMembers = SettingsRequestService::kMembers;
constexpr auto& kSignatures = SettingsRequestService::kSignatures;

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Service");

int onRequest(sd_bus_message* call, void* userdata, sd_bus_error*) {
    try {
        (*static_cast<CallHandler*>(userdata))(dbus::Message(sd_bus_message_ref(call)));
    } catch (const std::exception& e) {
        log.error("Handling a call failed: %@", e.what());
    }
    return 1;
}

bool isWellTypedRequest(sd_bus_message* call) {
    const char* member = sd_bus_message_get_member(call);
    const char* signature = sd_bus_message_get_signature(call, 1);
    if (!member || !signature)
        return false;
    for (std::size_t i = 0; i < std::size(kMembers); ++i) {
        if (std::strcmp(member, kMembers[i]) == 0)
            return std::strcmp(signature, kSignatures[i]) == 0;
    }
    return false;
}

/// The object's callback, which sd-bus runs before the vtables: sd-bus would answer a call of the
/// request interface with an unknown member or a wrong signature with a D-Bus error alone.
/// velkord also answers it under its tag, so that the caller's request fails at once rather than
/// after its time-out. Everything else (the six requests, the standard interfaces) is left to
/// sd-bus.
int onObjectCall(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const char* interface = sd_bus_message_get_interface(call);
    if (!interface || std::strcmp(interface, dbus_names::kRequestInterface) != 0 ||
        isWellTypedRequest(call))
        return 0;
    return onRequest(call, userdata, error);
}

const sd_bus_vtable* requestVtable() {
    // Access is velkord's own decision, by the caller's uid: sd-bus checks no capability.
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES(kMembers[0], kSignatures[0],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(data) SD_BUS_PARAM(domain)
                                     SD_BUS_PARAM(user),
                                 "", "", onRequest, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[1], kSignatures[1],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(domain) SD_BUS_PARAM(user)
                                     SD_BUS_PARAM(path) SD_BUS_PARAM(recursiveFetch),
                                 "", "", onRequest, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[2], kSignatures[2],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(change), "", "", onRequest,
                                 kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[3], kSignatures[3],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(containerId)
                                     SD_BUS_PARAM(recursiveFetch),
                                 "", "", onRequest, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[4], kSignatures[4],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(domain) SD_BUS_PARAM(user), "", "",
                                 onRequest, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[5], kSignatures[5],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(containerId)
                                     SD_BUS_PARAM(hasSubscription),
                                 "", "", onRequest, kMethodFlags),
        SD_BUS_VTABLE_END,
    };
    return vtable;
}

const sd_bus_vtable* responseVtable() {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_SIGNAL_WITH_NAMES("requestHasFailedWithTag", "ayx",
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(errorCode), 0),
        SD_BUS_SIGNAL_WITH_NAMES("requestSucceededWithTag", "ay", SD_BUS_PARAM(tag), 0),
        SD_BUS_SIGNAL_WITH_NAMES("settingsFetchedWithTag", "ayay",
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(data), 0),
        SD_BUS_SIGNAL_WITH_NAMES(
            "settingsUpdatedWithTag", "ayxx",
            SD_BUS_PARAM(tag) SD_BUS_PARAM(rawResult) SD_BUS_PARAM(newRevision), 0),
        SD_BUS_SIGNAL_WITH_NAMES("noteChangesWithTag", "ayaa{sv}as",
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(changes) SD_BUS_PARAM(paths), 0),
        SD_BUS_SIGNAL_WITH_NAMES("settingsDeletedWithTag", "ayay",
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(rootId), 0),
        SD_BUS_VTABLE_END,
    };
    return vtable;
}

}  // namespace

std::vector<dbus::Slot> serveObject(sd_bus* bus, CallHandler& handler) {
    std::vector<dbus::Slot> slots;
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(
        sd_bus_add_object(bus, &raw, dbus_names::kObjectPath, onObjectCall, &handler),
        "Serving the daemon's object");
    slots.emplace_back(raw);
    dbus::BusError::check(
        sd_bus_add_object_vtable(bus, &raw, dbus_names::kObjectPath, dbus_names::kRequestInterface,
                                 requestVtable(), &handler),
        "Serving the request interface");
    slots.emplace_back(raw);
    dbus::BusError::check(
        sd_bus_add_object_vtable(bus, &raw, dbus_names::kObjectPath, dbus_names::kResponseInterface,
                                 responseVtable(), nullptr),
        "Describing the response interface");
    slots.emplace_back(raw);
    return slots;
}

}  // namespace velkor::daemon
