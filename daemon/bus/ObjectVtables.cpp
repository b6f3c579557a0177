#include "bus/ObjectVtables.h"

#include <cstring>
#include <iterator>

#include "internals/SettingsService.h"

namespace velkor::daemon {

namespace {

constexpr auto kMethodFlags = SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY;
constexpr auto& kMembers = SettingsRequestService::kMembers;
constexpr auto& kSignatures = SettingsRequestService::kSignatures;

}  // namespace

const sd_bus_vtable* requestVtable(sd_bus_message_handler_t handler) {
    // Access is velkord's own decision, by the caller's uid: sd-bus checks no capability.
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES(kMembers[0], kSignatures[0],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(data) SD_BUS_PARAM(domain)
                                     SD_BUS_PARAM(user),
                                 "", "", handler, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[1], kSignatures[1],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(domain) SD_BUS_PARAM(user)
                                     SD_BUS_PARAM(path) SD_BUS_PARAM(recursiveFetch),
                                 "", "", handler, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[2], kSignatures[2],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(change), "", "", handler,
                                 kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[3], kSignatures[3],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(containerId)
                                     SD_BUS_PARAM(recursiveFetch),
                                 "", "", handler, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[4], kSignatures[4],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(domain) SD_BUS_PARAM(user), "", "",
                                 handler, kMethodFlags),
        SD_BUS_METHOD_WITH_NAMES(kMembers[5], kSignatures[5],
                                 SD_BUS_PARAM(tag) SD_BUS_PARAM(containerId)
                                     SD_BUS_PARAM(hasSubscription),
                                 "", "", handler, kMethodFlags),
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

}  // namespace velkor::daemon
