#include "dbus/NameOwnerChanged.h"

namespace velkor::dbus {

namespace {

constexpr const char* kDriver = "org.freedesktop.DBus";

}  // namespace

std::string NameOwnerChanged::matchRule(const std::string& name) {
    std::string rule =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged'";
    // Bus names hold no quotes, so the name needs no escaping.
    if (!name.empty())
        rule += ",arg0='" + name + "'";
    return rule;
}

std::optional<NameOwnerChanged> NameOwnerChanged::parse(const Message& message) {
    if (message.type() != SD_BUS_MESSAGE_SIGNAL || message.sender() != kDriver ||
        message.interface() != kDriver || message.member() != "NameOwnerChanged" ||
        message.signature() != "sss" || sd_bus_message_rewind(message.get(), 1) < 0)
        return std::nullopt;
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message.get(), "sss", &name, &oldOwner, &newOwner) < 0)
        return std::nullopt;
    return NameOwnerChanged{name, oldOwner, newOwner};
}

}  // namespace velkor::dbus
