#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "internals/Blob.h"
#include "internals/ChangeNotification.h"
#include "velkor/UUID.h"

namespace velkor::dbus {

/// Reads Velkor's argument types from a received message, one after the other, with strict
/// checks: each read gives no value when the next argument is not of its type or does not hold
/// a valid value (a UUID that is not exactly 16 bytes, a change record that does not decode).
/// Callers check the message's signature first; after a failed read the position is unspecified.
class MessageReader {
  public:
    /// Byte arrays (blobs, the values of records) longer than `maxBytes` are not copied: they
    /// read as empty, and `oversize` tells their length, so that what is refused for its size
    /// costs no memory beyond the message.
    explicit MessageReader(sd_bus_message* message, std::size_t maxBytes = SIZE_MAX)
        : message_(message), maxBytes_(maxBytes) {}

    /// "ay" of exactly 16 bytes.
    std::optional<UUID> uuid();
    /// "ay", copied once.
    std::optional<Blob> blob();
    /// "s".
    std::optional<std::string> text();
    /// "b".
    std::optional<bool> boolean();
    /// "u".
    std::optional<std::uint32_t> uint32();
    /// "x".
    std::optional<std::int64_t> int64();
    /// "a{sv}" holding a change record that decodes; null otherwise.
    ChangeNotificationPtr record();
    /// "aa{sv}" whose every record decodes.
    std::optional<std::vector<ChangeNotificationPtr>> records();
    /// "as".
    std::optional<std::vector<std::string>> texts();

    /// The length of the longest byte array read that passed `maxBytes`; 0 when none did.
    std::size_t oversize() const { return oversize_; }

  private:
    template <typename T>
    std::optional<T> basic(char type);

    sd_bus_message* message_;
    std::size_t maxBytes_;
    std::size_t oversize_ = 0;
};

}  // namespace velkor::dbus
