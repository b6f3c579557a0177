#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "internals/Blob.h"
#include "velkor/UUID.h"

namespace velkor::test {

/// Writes blobs in the layout the daemon sends, value by value, for decoder tests and fuzz
/// seeds. The raw item writers (integer, text, bytes) also make blobs that break the layout.
class DaemonBlobWriter {
  public:
    DaemonBlobWriter& integer(std::int64_t value) {
        archive_.encodeInteger(value);
        return *this;
    }
    DaemonBlobWriter& text(std::string_view value) {
        archive_.encodeText(value);
        return *this;
    }
    DaemonBlobWriter& bytes(std::span<const std::uint8_t> value) {
        archive_.encodeBytes(value);
        return *this;
    }
    DaemonBlobWriter& uuid(const UUID& id) { return bytes(id.bytes()); }

    DaemonBlobWriter& number(std::int64_t value) { return integer(0).integer(value); }
    DaemonBlobWriter& string(std::string_view value) { return integer(1).text(value); }
    DaemonBlobWriter& data(std::span<const std::uint8_t> value) { return integer(2).bytes(value); }
    DaemonBlobWriter& proxy(const UUID& id) { return integer(5).uuid(id); }
    /// The head of an array; its `count` items follow.
    DaemonBlobWriter& array(const UUID& id, const UUID& rootId, std::int64_t revision,
                            std::int64_t count) {
        return integer(3).uuid(id).uuid(rootId).integer(revision).integer(count);
    }
    /// The head of a dictionary; `count` times a key and its value follow.
    DaemonBlobWriter& dictionary(const UUID& id, const UUID& rootId, std::int64_t revision,
                                 std::int64_t count) {
        return integer(4).uuid(id).uuid(rootId).integer(revision).integer(count);
    }
    DaemonBlobWriter& key(std::string_view key) { return text(key); }

    std::vector<std::uint8_t> encoded() const { return archive_.archiverData(); }
    Blob blob() const { return Blob(archive_.archiverData()); }

  private:
    basalt::ArchiveWriter archive_;
};

}  // namespace velkor::test
