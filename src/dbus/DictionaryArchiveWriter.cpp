#include "dbus/DictionaryArchiveWriter.h"

#include <string>

namespace velkor::dbus {

void DictionaryArchiveWriter::encodeInteger(std::string_view key, std::int64_t value) {
    open(key, "x");
    writer_.int64(value);
    close();
}

void DictionaryArchiveWriter::encodeUuid(std::string_view key, const UUID& value) {
    open(key, "ay");
    writer_.uuid(value);
    close();
}

void DictionaryArchiveWriter::encodeText(std::string_view key, std::string_view value) {
    open(key, "s");
    writer_.text(std::string(value));
    close();
}

void DictionaryArchiveWriter::encodeBytes(std::string_view key,
                                          std::span<const std::uint8_t> value) {
    open(key, "ay");
    writer_.bytes(value);
    close();
}

void DictionaryArchiveWriter::open(std::string_view key, const char* signature) {
    writer_.openContainer('e', "sv");
    writer_.text(std::string(key));
    writer_.openContainer('v', signature);
}

void DictionaryArchiveWriter::close() {
    writer_.closeContainer();
    writer_.closeContainer();
}

}  // namespace velkor::dbus
