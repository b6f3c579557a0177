#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "basalt/Unarchiver.h"
#include "internals/Blob.h"
#include "velkor/UUID.h"
#include "velkor/VKObjectBase.h"

namespace velkor {

/// Reads the items of a blob one at a time. Every read consumes one item when there is one and
/// gives no value when the item is missing, of another type or out of range. The decoder keeps
/// the blob alive, since items are read in place.
class DeserializerBase {
  public:
    /// No decoder when `blob` is not an archive.
    static std::optional<DeserializerBase> make(Blob blob);
    virtual ~DeserializerBase() = default;
    DeserializerBase(DeserializerBase&&) = default;

    /// An integer item whose value, taken unsigned, is below 6.
    std::optional<VKObjectBase::Kind> decodeKind();
    /// A bytes item of exactly 16 bytes.
    std::optional<UUID> decodeUuid();
    /// An integer item that is not negative.
    std::optional<std::int64_t> decodeCount();
    /// Any integer item.
    std::optional<std::int64_t> decodeInteger();
    /// A text item.
    std::optional<std::string> decodeString();
    /// A bytes item.
    std::optional<std::vector<std::uint8_t>> decodeData();

    /// How many bytes of the blob are not read yet; no item is smaller than one byte, so this
    /// bounds how many items can still follow.
    std::size_t remainingBytes() const { return unarchiver_.remainingBytes(); }

  protected:
    DeserializerBase(Blob blob, basalt::Unarchiver unarchiver)
        : blob_(std::move(blob)), unarchiver_(unarchiver) {}

  private:
    Blob blob_;
    basalt::Unarchiver unarchiver_;
};

}  // namespace velkor
