#pragma once

#include <optional>
#include <string>

#include "dbus/Message.h"

namespace velkor::dbus {

/// The bus driver's announcement that a bus name gained, lost or changed its owner. Owners are
/// unique names; an empty owner means none. Only the bus itself can send it: announcements from
/// any other sender are not taken. To follow a name, install the match first and then ask for
/// the current owner (BusConnection::nameOwner), so that no change falls between the two.
struct NameOwnerChanged {
    std::string name;
    std::string oldOwner;
    std::string newOwner;

    /// The match rule for announcements about `name`, or about every name when `name` is empty
    /// (BusConnection::addMatch installs it).
    static std::string matchRule(const std::string& name = {});

    /// Reads an announcement; none for any other message, or one the bus driver did not send.
    static std::optional<NameOwnerChanged> parse(const Message& message);
};

}  // namespace velkor::dbus
