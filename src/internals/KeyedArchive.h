#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velkor/UUID.h"

namespace velkor {

/// The writing side of a keyed archive: each value is stored under a text key. The change
/// record is written through it; the D-Bus layer provides the a{sv} form.
class KeyedArchiveWriter {
  public:
    virtual ~KeyedArchiveWriter() = default;
    virtual void encodeInteger(std::string_view key, std::int64_t value) = 0;
    virtual void encodeUuid(std::string_view key, const UUID& value) = 0;
    virtual void encodeText(std::string_view key, std::string_view value) = 0;
    virtual void encodeBytes(std::string_view key, std::span<const std::uint8_t> value) = 0;
};

/// The reading side of a keyed archive. Every read gives no value when the key is missing or
/// holds a value of another type.
class KeyedArchiveReader {
  public:
    virtual ~KeyedArchiveReader() = default;
    virtual std::optional<std::int64_t> decodeInteger(std::string_view key) const = 0;
    virtual std::optional<UUID> decodeUuid(std::string_view key) const = 0;
    virtual std::optional<std::string> decodeText(std::string_view key) const = 0;
    virtual std::optional<std::vector<std::uint8_t>> decodeBytes(std::string_view key) const = 0;
};

}  // namespace velkor
