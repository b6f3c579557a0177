#include "dbus/MessageWriter.h"

#include <cerrno>

#include "dbus/BusError.h"
#include "dbus/DictionaryArchiveWriter.h"

namespace velkor::dbus {

void MessageWriter::uuid(const UUID& value) {
    bytes(value.bytes());
}

void MessageWriter::bytes(std::span<const std::uint8_t> value) {
    BusError::check(sd_bus_message_append_array(message_, 'y', value.data(), value.size()),
                    "Appending bytes");
}

void MessageWriter::text(const std::string& value) {
    if (value.find('\0') != std::string::npos)
        throw BusError("Appending a text holding a NUL byte", EINVAL);
    BusError::check(sd_bus_message_append_basic(message_, 's', value.c_str()), "Appending a text");
}

void MessageWriter::boolean(bool value) {
    int v = value ? 1 : 0;
    BusError::check(sd_bus_message_append_basic(message_, 'b', &v), "Appending a boolean");
}

void MessageWriter::uint32(std::uint32_t value) {
    BusError::check(sd_bus_message_append_basic(message_, 'u', &value), "Appending a number");
}

void MessageWriter::int64(std::int64_t value) {
    BusError::check(sd_bus_message_append_basic(message_, 'x', &value), "Appending a number");
}

void MessageWriter::record(const VKChangeNotification& record) {
    openContainer('a', "{sv}");
    DictionaryArchiveWriter writer(*this);
    record.encode(writer);
    closeContainer();
}

void MessageWriter::records(const std::vector<ChangeNotificationPtr>& records) {
    openContainer('a', "a{sv}");
    for (const auto& r : records) {
        if (!r)
            throw BusError("Appending a missing change record", EINVAL);
        record(*r);
    }
    closeContainer();
}

void MessageWriter::texts(const std::vector<std::string>& values) {
    openContainer('a', "s");
    for (const auto& v : values)
        text(v);
    closeContainer();
}

void MessageWriter::openContainer(char type, const char* contents) {
    BusError::check(sd_bus_message_open_container(message_, type, contents), "Opening a container");
}

void MessageWriter::closeContainer() {
    BusError::check(sd_bus_message_close_container(message_), "Closing a container");
}

}  // namespace velkor::dbus
