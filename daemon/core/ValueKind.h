#pragma once

#include <cstdint>

namespace velkor::daemon {

/// The kind of a value as blobs and the store write it: the raw values of the library's kinds,
/// with 5 standing for a reference to a container (a proxy in the daemon's answers).
enum class ValueKind : std::uint8_t {
    number = 0,
    string = 1,
    data = 2,
    array = 3,
    dictionary = 4,
    reference = 5,
};

inline bool isContainer(ValueKind kind) {
    return kind == ValueKind::array || kind == ValueKind::dictionary;
}

}  // namespace velkor::daemon
