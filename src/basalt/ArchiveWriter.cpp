#include "basalt/ArchiveWriter.h"

#include <cbor.h>

#include <utility>

#include "basalt/ArchiveFormat.h"

namespace velkor::basalt {

ArchiveWriter::ArchiveWriter() : buffer_(archiveMagic.begin(), archiveMagic.end()) {}

template <typename EncodeHead, typename Argument>
void ArchiveWriter::appendHead(EncodeHead encode, Argument argument) {
    // A CBOR head is at most nine bytes: the initial byte and an eight-byte argument.
    unsigned char head[9];
    const std::size_t length = encode(argument, head, sizeof head);
    buffer_.insert(buffer_.end(), head, head + length);
}

ArchiveWriter& ArchiveWriter::encodeInteger(std::int64_t value) {
    if (value >= 0) {
        appendHead(cbor_encode_uint, static_cast<std::uint64_t>(value));
    } else {
        // A negative integer n is carried as -1 - n, which is ~n in two's complement and cannot
        // overflow, not even for INT64_MIN.
        appendHead(cbor_encode_negint, ~static_cast<std::uint64_t>(value));
    }
    return *this;
}

ArchiveWriter& ArchiveWriter::encodeText(std::string_view text) {
    appendHead(cbor_encode_string_start, text.size());
    buffer_.insert(buffer_.end(), text.begin(), text.end());
    return *this;
}

ArchiveWriter& ArchiveWriter::encodeBytes(std::span<const std::uint8_t> bytes) {
    appendHead(cbor_encode_bytestring_start, bytes.size());
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<std::uint8_t> ArchiveWriter::takeArchiverData() {
    std::vector<std::uint8_t> blob = std::move(buffer_);
    buffer_.assign(archiveMagic.begin(), archiveMagic.end());
    return blob;
}

}  // namespace velkor::basalt
