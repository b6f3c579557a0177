#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internals/ChangeNotification.h"
#include "velkor/UUID.h"

namespace velkor::dbus {

/// Appends Velkor's argument types to a message being built. Every failure, such as a text that
/// is not UTF-8 or holds a NUL byte (D-Bus strings cannot carry either), is thrown as BusError;
/// nothing is silently altered.
class MessageWriter {
  public:
    explicit MessageWriter(sd_bus_message* message) : message_(message) {}

    /// A UUID as its 16 bytes ("ay").
    void uuid(const UUID& value);
    /// Bytes as "ay", copied once.
    void bytes(std::span<const std::uint8_t> value);
    /// "s".
    void text(const std::string& value);
    /// "b".
    void boolean(bool value);
    /// "u".
    void uint32(std::uint32_t value);
    /// "x".
    void int64(std::int64_t value);
    /// A change record as "a{sv}".
    void record(const VKChangeNotification& record);
    /// Change records as "aa{sv}"; a null record is refused.
    void records(const std::vector<ChangeNotificationPtr>& records);
    /// "as".
    void texts(const std::vector<std::string>& values);

    /// Opens and closes containers, for writers of nested values.
    void openContainer(char type, const char* contents);
    void closeContainer();

  private:
    sd_bus_message* message_;
};

}  // namespace velkor::dbus
