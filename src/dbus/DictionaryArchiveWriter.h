#pragma once

#include "dbus/MessageWriter.h"
#include "internals/KeyedArchive.h"

namespace velkor::dbus {

/// A keyed archive written as the entries of a D-Bus dictionary "a{sv}": integers as "x", UUIDs
/// and bytes as "ay", texts as "s". The caller opens and closes the dictionary around it
/// (MessageWriter::record does).
class DictionaryArchiveWriter final : public KeyedArchiveWriter {
  public:
    explicit DictionaryArchiveWriter(MessageWriter& writer) : writer_(writer) {}

    void encodeInteger(std::string_view key, std::int64_t value) override;
    void encodeUuid(std::string_view key, const UUID& value) override;
    void encodeText(std::string_view key, std::string_view value) override;
    void encodeBytes(std::string_view key, std::span<const std::uint8_t> value) override;

  private:
    /// Opens the entry and its variant of type `signature`, after writing the key.
    void open(std::string_view key, const char* signature);
    void close();

    MessageWriter& writer_;
};

}  // namespace velkor::dbus
