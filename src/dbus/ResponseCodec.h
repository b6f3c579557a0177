#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/Refusal.h"
#include "internals/ServerResponse.h"

namespace velkor::dbus {

/// One answer signal as it arrived.
struct ReceivedResponse {
    UUID tag;
    /// Which of the six signals it was: the index of the ServerResponse case it carries.
    std::size_t kind;
    /// The number as sent: the error code of requestHasFailedWithTag, the raw result of
    /// settingsUpdatedWithTag; 0 for the others.
    std::int64_t rawValue;
    /// What it carries. An error code outside the known ones reads as serverError. Empty only
    /// for a settingsUpdatedWithTag whose raw result is no ChangeResult, which the receiver
    /// reports and drops.
    std::optional<ServerResponse> response;
};

/// The D-Bus form of the answers and notifications: one signal per answer, on
/// org.velkor.SettingsResponseService from the daemon's object path, addressed to one client's
/// unique name, named and typed as SettingsResponseService's members and signatures say.
class ResponseCodec {
  public:
    using Parsed = std::variant<ReceivedResponse, Refusal>;

    /// Builds the signal that carries (`tag`, `response`) to the connection `destination` (a
    /// unique name) alone; with no destination on a peer-to-peer connection. Run it where the bus
    /// may be used (BusLoop::withBus). Throws BusError when a value cannot travel: a text that is
    /// not UTF-8 or holds a NUL byte, a missing change record.
    static Message build(BusConnection& bus, const std::string& destination, const UUID& tag,
                         const ServerResponse& response);

    /// Reads a received signal back, or says why it is refused. It does not check who sent it.
    /// Reads from the start of the body, whatever was read before.
    static Parsed parse(const Message& signal);
};

}  // namespace velkor::dbus
