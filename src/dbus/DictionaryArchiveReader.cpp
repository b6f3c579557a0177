#include "dbus/DictionaryArchiveReader.h"

#include <algorithm>
#include <string_view>

namespace velkor::dbus {

std::optional<DictionaryArchiveReader> DictionaryArchiveReader::read(sd_bus_message* message,
                                                                     std::size_t maxBytes) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0)
        return std::nullopt;
    DictionaryArchiveReader reader;
    for (;;) {
        int r = sd_bus_message_enter_container(message, 'e', "sv");
        if (r < 0)
            return std::nullopt;
        if (r == 0)
            break;
        const char* key = nullptr;
        if (sd_bus_message_read_basic(message, 's', &key) <= 0)
            return std::nullopt;
        auto value = reader.readValue(message, maxBytes);
        if (!value || sd_bus_message_exit_container(message) < 0)
            return std::nullopt;
        reader.values_.try_emplace(key, std::move(*value));
    }
    if (sd_bus_message_exit_container(message) < 0)
        return std::nullopt;
    return reader;
}

std::optional<DictionaryArchiveReader::Value> DictionaryArchiveReader::readValue(
    sd_bus_message* message, std::size_t maxBytes) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, &type, &contents) <= 0 || type != 'v')
        return std::nullopt;
    std::string_view signature(contents);
    if (signature != "x" && signature != "s" && signature != "ay") {
        if (sd_bus_message_skip(message, "v") < 0)
            return std::nullopt;
        return Value(std::monostate());
    }
    if (sd_bus_message_enter_container(message, 'v', contents) <= 0)
        return std::nullopt;
    Value value;
    if (signature == "x") {
        std::int64_t v = 0;
        if (sd_bus_message_read_basic(message, 'x', &v) <= 0)
            return std::nullopt;
        value = v;
    } else if (signature == "s") {
        const char* v = nullptr;
        if (sd_bus_message_read_basic(message, 's', &v) <= 0)
            return std::nullopt;
        value = std::string(v);
    } else {
        const void* data = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read_array(message, 'y', &data, &size) < 0)
            return std::nullopt;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (size > maxBytes)
            oversize_ = std::max(oversize_, size);
        else
            value = std::vector<std::uint8_t>(bytes, bytes + size);
    }
    if (sd_bus_message_exit_container(message) < 0)
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> DictionaryArchiveReader::decodeInteger(std::string_view key) const {
    const auto* v = find<std::int64_t>(key);
    return v ? std::optional(*v) : std::nullopt;
}

std::optional<UUID> DictionaryArchiveReader::decodeUuid(std::string_view key) const {
    const auto* v = find<std::vector<std::uint8_t>>(key);
    return v ? UUID::fromBytes(*v) : std::nullopt;
}

std::optional<std::string> DictionaryArchiveReader::decodeText(std::string_view key) const {
    const auto* v = find<std::string>(key);
    return v ? std::optional(*v) : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> DictionaryArchiveReader::decodeBytes(
    std::string_view key) const {
    const auto* v = find<std::vector<std::uint8_t>>(key);
    return v ? std::optional(*v) : std::nullopt;
}

}  // namespace velkor::dbus
