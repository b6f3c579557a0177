#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/ValueKind.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// One value as a client wrote it. Text, bytes and ids are views into the blob it was read from.
struct IncomingValue {
    ValueKind kind = ValueKind::number;
    /// A number's value; for an array or dictionary, its index in `IncomingTree::containers`.
    std::int64_t number = 0;
    /// A string's UTF-8 text or a data value's bytes.
    std::span<const std::uint8_t> bytes{};
    /// The container an array, dictionary or reference stands for.
    UUID id{};

    std::string_view text() const {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
};

/// An array or dictionary that the blob wrote in full.
struct IncomingContainer {
    UUID id;
    ValueKind kind = ValueKind::dictionary;
    std::int64_t revision = 0;
    bool subscribed = false;
    /// A dictionary's keys, parallel to `values`; empty for an array.
    std::vector<std::string_view> keys{};
    std::vector<IncomingValue> values{};
};

/// The one value a blob holds, with every container it wrote in full, parents before children.
/// Valid as long as the blob it was read from.
struct IncomingTree {
    IncomingValue top;
    std::vector<IncomingContainer> containers;
    /// Containers referenced but not written in this blob, each once, in order of appearance.
    std::vector<UUID> outsideReferences;
};

}  // namespace velkor::daemon
