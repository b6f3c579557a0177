#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "velkor/UUID.h"
#include "velkor/VKObjectBase.h"

// The layout of the blobs that carry values between the library and velkord, written once for
// both ends. A blob is an archive of items (integers, texts, byte strings). Every value starts
// with its kind (an integer, VKObjectBase::Kind) and continues:
//   number      an integer
//   string      a text
//   data        a byte string
//   reference   (kind 5) the container's id, 16 bytes
//   array       a header, then `count` values
//   dictionary  a header, then `count` pairs of a key (a text) and a value
// The header of a container written in full differs by direction: see ClientHeader and
// DaemonHeader. Writers are the library's encoder and velkord's; any type with
// `encodeInteger(std::int64_t)`, `encodeText(std::string_view)` and
// `encodeBytes(std::span<const std::uint8_t>)` writes through the functions below.
namespace velkor::blob {

using Kind = VKObjectBase::Kind;

/// The header of a container the library writes in full (a new container in a request).
struct ClientHeader {
    UUID id;
    std::int64_t revision = 0;
    bool subscribed = false;  ///< whether the client observes it: the daemon then notifies it
    std::int64_t count = 0;
};

/// The header of a container velkord writes in full (in an answer or a notice).
struct DaemonHeader {
    UUID id;
    UUID rootId;
    std::int64_t revision = 0;
    std::int64_t count = 0;
};

/// Passes the header's fields, in blob order, to `io`: `io.uuid(UUID&)`, `io.integer(int64&)`,
/// `io.flag(bool&)`, `io.count(int64&)`, each returning false to stop. A writer writes each
/// field, a reader fills it; the result says whether every field was passed.
template <typename IO>
bool fields(ClientHeader& h, IO& io) {
    return io.uuid(h.id) && io.integer(h.revision) && io.flag(h.subscribed) && io.count(h.count);
}
template <typename IO>
bool fields(DaemonHeader& h, IO& io) {
    return io.uuid(h.id) && io.uuid(h.rootId) && io.integer(h.revision) && io.count(h.count);
}

template <typename Writer>
void writeKind(Writer& w, Kind kind) {
    w.encodeInteger(static_cast<std::int64_t>(kind));
}

template <typename Writer>
void writeNumber(Writer& w, std::int64_t value) {
    writeKind(w, Kind::number);
    w.encodeInteger(value);
}

template <typename Writer>
void writeString(Writer& w, std::string_view text) {
    writeKind(w, Kind::string);
    w.encodeText(text);
}

template <typename Writer>
void writeData(Writer& w, std::span<const std::uint8_t> bytes) {
    writeKind(w, Kind::data);
    w.encodeBytes(bytes);
}

template <typename Writer>
void writeReference(Writer& w, const UUID& id) {
    writeKind(w, Kind::containerProxy);
    w.encodeBytes(id.bytes());
}

/// Writes the kind and the header of a container in full; its items follow.
template <typename Writer, typename Header>
void writeContainer(Writer& w, Kind kind, Header header) {
    struct Out {
        Writer& w;
        bool uuid(const UUID& id) {
            w.encodeBytes(id.bytes());
            return true;
        }
        bool integer(std::int64_t value) {
            w.encodeInteger(value);
            return true;
        }
        bool flag(bool value) { return integer(value ? 1 : 0); }
        bool count(std::int64_t value) { return integer(value); }
    } out{w};
    writeKind(w, kind);
    fields(header, out);
}

}  // namespace velkor::blob
