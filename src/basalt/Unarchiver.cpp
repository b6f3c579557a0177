#include "basalt/Unarchiver.h"

#include <cbor.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "basalt/ArchiveFormat.h"
#include "basalt/Utf8.h"

namespace velkor::basalt {

namespace {

constexpr std::uint64_t int64Max = std::numeric_limits<std::int64_t>::max();

// What one cbor_stream_decode call found. `ok` stays false for every kind of item that the
// archive does not hold.
struct Decoded {
    ArchiveItem item;
    bool ok = false;
};

Decoded& decoded(void* context) {
    return *static_cast<Decoded*>(context);
}

void onUnsigned(void* context, std::uint64_t argument) {
    if (argument <= int64Max) {
        decoded(context) = {ArchiveItem::ofInteger(static_cast<std::int64_t>(argument)), true};
    }
}

// CBOR carries a negative integer n as the argument -1 - n.
void onNegative(void* context, std::uint64_t argument) {
    if (argument <= int64Max) {
        decoded(context) = {ArchiveItem::ofInteger(-1 - static_cast<std::int64_t>(argument)), true};
    }
}

template <typename Narrow>
void onUnsignedNarrow(void* context, Narrow argument) {
    onUnsigned(context, argument);
}

template <typename Narrow>
void onNegativeNarrow(void* context, Narrow argument) {
    onNegative(context, argument);
}

void onText(void* context, cbor_data data, std::size_t length) {
    decoded(context) = {ArchiveItem::ofText({reinterpret_cast<const char*>(data), length}), true};
}

void onBytes(void* context, cbor_data data, std::size_t length) {
    decoded(context) = {ArchiveItem::ofBytes({data, length}), true};
}

// Arrays, maps, tags, floats, simple values, breaks and indefinite-length starts.
template <typename... Arguments>
void onForeign(void*, Arguments...) {}

// libcbor calls every member unconditionally, so none may be null. Note that in this callback
// bundle `byte_string` receives definite byte strings and `byte_string_start` the indefinite
// ones.
constexpr cbor_callbacks callbacks{
    .uint8 = onUnsignedNarrow<std::uint8_t>,
    .uint16 = onUnsignedNarrow<std::uint16_t>,
    .uint32 = onUnsignedNarrow<std::uint32_t>,
    .uint64 = onUnsigned,
    .negint64 = onNegative,
    .negint32 = onNegativeNarrow<std::uint32_t>,
    .negint16 = onNegativeNarrow<std::uint16_t>,
    .negint8 = onNegativeNarrow<std::uint8_t>,
    .byte_string_start = onForeign<>,
    .byte_string = onBytes,
    .string = onText,
    .string_start = onForeign<>,
    .indef_array_start = onForeign<>,
    .array_start = onForeign<std::size_t>,
    .indef_map_start = onForeign<>,
    .map_start = onForeign<std::size_t>,
    .tag = onForeign<std::uint64_t>,
    .float2 = onForeign<float>,
    .float4 = onForeign<float>,
    .float8 = onForeign<double>,
    .undefined = onForeign<>,
    .null = onForeign<>,
    .boolean = onForeign<bool>,
    .indef_break = onForeign<>,
};

}  // namespace

std::optional<Unarchiver> Unarchiver::forReadingWithData(
    std::span<const std::uint8_t> data) noexcept {
    if (data.size() < archiveMagic.size() ||
        !std::equal(archiveMagic.begin(), archiveMagic.end(), data.begin())) {
        return std::nullopt;
    }
    return Unarchiver(data.data() + archiveMagic.size(), data.data() + data.size());
}

std::optional<ArchiveItem> Unarchiver::decodeObject() noexcept {
    if (failed_ || next_ == end_) {
        return std::nullopt;
    }
    // libcbor checks every head and declared length against the bytes it is given and reports
    // a shortfall as NEDATA, so nothing past end_ is read; payloads come back as pointers into
    // the blob.
    Decoded found;
    const cbor_decoder_result result =
        cbor_stream_decode(next_, static_cast<std::size_t>(end_ - next_), &callbacks, &found);
    if (result.status != CBOR_DECODER_FINISHED || !found.ok ||
        (found.item.type == ArchiveItem::Type::text && !isUtf8(found.item.text))) {
        return fail();
    }
    next_ += result.read;
    return found.item;
}

std::optional<ArchiveItem> Unarchiver::fail() noexcept {
    failed_ = true;
    return std::nullopt;
}

}  // namespace velkor::basalt
