#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <variant>

#include "internals/KeyedArchive.h"

namespace velkor::dbus {

/// A keyed archive read from a D-Bus dictionary "a{sv}". The dictionary is read once, into a
/// small map; then each key answers only for its own type: "x" for integers, "s" for texts, "ay"
/// for bytes, "ay" of exactly 16 bytes for UUIDs. A value of any other type reads as missing.
/// A key that appears twice keeps its first value.
class DictionaryArchiveReader final : public KeyedArchiveReader {
  public:
    /// Reads the dictionary at the message's read position and moves past it. No value when
    /// there is no "a{sv}" there. A byte array longer than `maxBytes` is not copied: it reads
    /// as missing, and `oversize` tells its length.
    static std::optional<DictionaryArchiveReader> read(sd_bus_message* message,
                                                       std::size_t maxBytes = SIZE_MAX);

    /// The length of the longest byte array left out for passing `maxBytes`; 0 when none was.
    std::size_t oversize() const { return oversize_; }

    std::optional<std::int64_t> decodeInteger(std::string_view key) const override;
    std::optional<UUID> decodeUuid(std::string_view key) const override;
    std::optional<std::string> decodeText(std::string_view key) const override;
    std::optional<std::vector<std::uint8_t>> decodeBytes(std::string_view key) const override;

  private:
    /// std::monostate stands for a value of a type no key is read as.
    using Value =
        std::variant<std::monostate, std::int64_t, std::string, std::vector<std::uint8_t>>;

    DictionaryArchiveReader() = default;
    /// Reads one entry's variant; no value when the message cannot be read.
    std::optional<Value> readValue(sd_bus_message* message, std::size_t maxBytes);

    template <typename T>
    const T* find(std::string_view key) const {
        auto it = values_.find(key);
        return it == values_.end() ? nullptr : std::get_if<T>(&it->second);
    }

    std::map<std::string, Value, std::less<>> values_;
    std::size_t oversize_ = 0;
};

}  // namespace velkor::dbus
