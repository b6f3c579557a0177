#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "velkor/UUID.h"

namespace velkor {

class VKContainer;
class VKObjectBase;

/// Writes values into a blob, item by item, and remembers every container written in full so
/// that a container met twice travels as a reference the second time. One encoder builds one
/// blob; it is not shared between threads.
class SerializerBase {
  public:
    SerializerBase() = default;
    virtual ~SerializerBase() = default;
    SerializerBase(const SerializerBase&) = delete;
    SerializerBase& operator=(const SerializerBase&) = delete;

    SerializerBase& encodeInteger(std::int64_t value) {
        archiver_.encodeInteger(value);
        return *this;
    }
    SerializerBase& encodeText(std::string_view text) {
        archiver_.encodeText(text);
        return *this;
    }
    SerializerBase& encodeBytes(std::span<const std::uint8_t> bytes) {
        archiver_.encodeBytes(bytes);
        return *this;
    }

    /// Remembers `container` under its id; true when that id had been remembered already.
    bool rememberContainer(const std::shared_ptr<VKContainer>& container);

    const std::unordered_map<UUID, std::shared_ptr<VKContainer>>& rememberedContainers() const {
        return rememberedContainers_;
    }

    /// The blob written so far.
    const std::vector<std::uint8_t>& archiverData() const { return archiver_.archiverData(); }
    /// Hands the blob over without copying it.
    std::vector<std::uint8_t> takeArchiverData() { return archiver_.takeArchiverData(); }

  private:
    std::unordered_map<UUID, std::shared_ptr<VKContainer>> rememberedContainers_;
    basalt::ArchiveWriter archiver_;
};

/// Appends `value` to `serializer`: a scalar as its kind and its value, a container as
/// detail::ContainerAccess::serialize writes it.
void serialize(const VKObjectBase& value, SerializerBase& serializer);

}  // namespace velkor
