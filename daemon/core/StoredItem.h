#pragma once

#include <cstdint>
#include <string>

#include "core/IncomingTree.h"
#include "core/ValueKind.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// One value stored inside a container: a scalar, or a reference to a child container.
struct StoredItem {
    /// The dictionary key; empty in an array.
    std::string key;
    /// The array index; 0 in a dictionary.
    std::int64_t slot = 0;
    /// number, string, data or reference.
    ValueKind kind = ValueKind::number;
    std::int64_t number = 0;
    /// A string's text or a data value's bytes.
    std::string payload;
    /// The child container of a reference.
    UUID child;

    /// Whether storing `value` in place of this item would change nothing: an equal scalar or a
    /// reference to the same container. A container written in full is always new.
    bool sameAs(const IncomingValue& value) const {
        if (value.kind != kind) {
            return false;
        }
        switch (kind) {
            case ValueKind::number:
                return number == value.number;
            case ValueKind::string:
            case ValueKind::data:
                return std::string_view(payload) == value.text();
            case ValueKind::containerProxy:
                return child == value.id;
            default:
                return false;
        }
    }
};

}  // namespace velkor::daemon
