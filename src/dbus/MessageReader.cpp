#include "dbus/MessageReader.h"

#include <algorithm>

#include "dbus/DictionaryArchiveReader.h"

namespace velkor::dbus {

template <typename T>
std::optional<T> MessageReader::basic(char type) {
    T value{};
    if (sd_bus_message_read_basic(message_, type, &value) <= 0)
        return std::nullopt;
    return value;
}

std::optional<UUID> MessageReader::uuid() {
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read_array(message_, 'y', &data, &size) < 0)
        return std::nullopt;
    return UUID::fromBytes({static_cast<const std::uint8_t*>(data), size});
}

std::optional<Blob> MessageReader::blob() {
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read_array(message_, 'y', &data, &size) < 0)
        return std::nullopt;
    if (size > maxBytes_) {
        oversize_ = std::max(oversize_, size);
        return Blob();
    }
    return size == 0 ? Blob() : Blob(static_cast<const std::uint8_t*>(data), size);
}

std::optional<std::string> MessageReader::text() {
    auto value = basic<const char*>('s');
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::optional<bool> MessageReader::boolean() {
    auto value = basic<int>('b');
    return value ? std::optional<bool>(*value != 0) : std::nullopt;
}

std::optional<std::uint32_t> MessageReader::uint32() {
    return basic<std::uint32_t>('u');
}

std::optional<std::int64_t> MessageReader::int64() {
    return basic<std::int64_t>('x');
}

ChangeNotificationPtr MessageReader::record() {
    auto archive = DictionaryArchiveReader::read(message_, maxBytes_);
    if (archive && archive->oversize())
        oversize_ = std::max(oversize_, archive->oversize());
    return archive ? VKChangeNotification::decode(*archive) : nullptr;
}

std::optional<std::vector<ChangeNotificationPtr>> MessageReader::records() {
    if (sd_bus_message_enter_container(message_, 'a', "a{sv}") <= 0)
        return std::nullopt;
    std::vector<ChangeNotificationPtr> result;
    int atEnd = 0;
    while ((atEnd = sd_bus_message_at_end(message_, false)) == 0) {
        auto r = record();
        if (!r)
            return std::nullopt;
        result.push_back(std::move(r));
    }
    if (atEnd < 0 || sd_bus_message_exit_container(message_) < 0)
        return std::nullopt;
    return result;
}

std::optional<std::vector<std::string>> MessageReader::texts() {
    if (sd_bus_message_enter_container(message_, 'a', "s") <= 0)
        return std::nullopt;
    std::vector<std::string> result;
    for (;;) {
        const char* value = nullptr;
        int r = sd_bus_message_read_basic(message_, 's', &value);
        if (r < 0)
            return std::nullopt;
        if (r == 0)
            break;
        result.emplace_back(value);
    }
    if (sd_bus_message_exit_container(message_) < 0)
        return std::nullopt;
    return result;
}

}  // namespace velkor::dbus
