#pragma once

#include <systemd/sd-bus.h>

namespace velkor::daemon {

/// The members of velkord's object as sd-bus vtables, named and typed as the installed
/// introspection files say: sd-bus answers `Introspect` from them, checks a request's signature
/// before `handler` runs, and hands it only the six requests.
///
/// `requestVtable` holds the six one-way methods of org.velkor.SettingsRequestService, each
/// handled by `handler`; `responseVtable` the signals of org.velkor.SettingsResponseService.
const sd_bus_vtable* requestVtable(sd_bus_message_handler_t handler);
const sd_bus_vtable* responseVtable();

/// Whether `call` is a request sd-bus would hand to a method of `requestVtable`: one of the six
/// members, with its signature.
bool isWellTypedRequest(sd_bus_message* call);

}  // namespace velkor::daemon
