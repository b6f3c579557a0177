#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/Refusal.h"
#include "internals/ClientRequest.h"
#include "internals/Tagged.h"

namespace velkor::dbus {

/// The D-Bus form of the requests: one one-way method call per request, on
/// org.velkor.SettingsRequestService at the daemon's object path, named and typed as
/// SettingsRequestService's members and signatures say.
class RequestCodec {
  public:
    using Parsed = std::variant<Tagged<ClientRequest>, Refusal>;

    /// Builds the call that carries (`tag`, `request`) to `destination` (the daemon's service
    /// name; empty on a peer-to-peer connection, which has only one receiver). The call expects no
    /// reply and may start the service. Run it where the bus may be used (BusLoop::withBus). Throws
    /// BusError when a value cannot travel: a text that is not UTF-8 or holds a NUL byte, a missing
    /// change record.
    static Message build(BusConnection& bus, const std::string& destination, const UUID& tag,
                         const ClientRequest& request);

    /// Reads a received method call back into a tagged request, or says why it is refused. Reads
    /// from the start of the body, whatever was read before. A blob or record value longer than
    /// `maxBytes` is refused (`Refusal::Reason::tooLarge`, with the tag) without being copied.
    static Parsed parse(const Message& call, std::size_t maxBytes = SIZE_MAX);
};

}  // namespace velkor::dbus
