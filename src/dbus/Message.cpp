#include "dbus/Message.h"

namespace velkor::dbus {

namespace {

std::string_view orEmpty(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

}  // namespace

std::uint8_t Message::type() const {
    std::uint8_t type = 0;
    if (message_)
        sd_bus_message_get_type(message_.get(), &type);
    return type;
}

std::string_view Message::path() const {
    return message_ ? orEmpty(sd_bus_message_get_path(message_.get())) : std::string_view();
}

std::string_view Message::interface() const {
    return message_ ? orEmpty(sd_bus_message_get_interface(message_.get())) : std::string_view();
}

std::string_view Message::member() const {
    return message_ ? orEmpty(sd_bus_message_get_member(message_.get())) : std::string_view();
}

std::string_view Message::sender() const {
    return message_ ? orEmpty(sd_bus_message_get_sender(message_.get())) : std::string_view();
}

std::string_view Message::destination() const {
    return message_ ? orEmpty(sd_bus_message_get_destination(message_.get())) : std::string_view();
}

std::string_view Message::signature() const {
    return message_ ? orEmpty(sd_bus_message_get_signature(message_.get(), 1)) : std::string_view();
}

}  // namespace velkor::dbus
