#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <vector>

#include "dbus/Message.h"
#include "dbus/Slot.h"

namespace velkor::daemon {

/// Handles one call of the request interface.
using CallHandler = std::function<void(const dbus::Message& call)>;

/// Serves velkord's object on `bus` (the bus itself, or a direct channel), named and typed as
/// the installed introspection files say: sd-bus answers `Introspect` from its vtables and checks
/// each request's signature. The six requests of org.velkor.SettingsRequestService go to
/// `handler`, and so do calls meant for that interface that its vtable would refuse (an unknown
/// member, a wrong signature), so that velkord can refuse them under their tag; the signals of
/// org.velkor.SettingsResponseService are described. `handler` must outlive the returned slots,
/// which keep the object served. Throws BusError.
std::vector<dbus::Slot> serveObject(sd_bus* bus, CallHandler& handler);

}  // namespace velkor::daemon
