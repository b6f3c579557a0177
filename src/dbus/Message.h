#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace velkor::dbus {

/// An owning reference to one sd-bus message. Move-only, so that a borrowed `const Message&`
/// cannot be kept by accident: a message holds a reference to its bus, and releasing it touches
/// the bus, so it must be released where the bus may be used (under the bus owner's lock, see
/// BusLoop).
class Message {
  public:
    Message() = default;
    /// Takes over one reference to `message` (which may be null).
    explicit Message(sd_bus_message* message) : message_(message) {}

    sd_bus_message* get() const { return message_.get(); }
    explicit operator bool() const { return message_ != nullptr; }

    /// SD_BUS_MESSAGE_METHOD_CALL, SD_BUS_MESSAGE_SIGNAL, ...; 0 for an empty message.
    std::uint8_t type() const;
    /// The header fields; empty when the field is absent.
    std::string_view path() const;
    std::string_view interface() const;
    std::string_view member() const;
    std::string_view sender() const;
    std::string_view destination() const;
    /// The signature of the whole body, e.g. "aysusb".
    std::string_view signature() const;

  private:
    struct Unref {
        void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
    };
    std::unique_ptr<sd_bus_message, Unref> message_;
};

}  // namespace velkor::dbus
