#pragma once

#include <string>

#include "velkor/UUID.h"

namespace velkor {

/// A message with the tag that pairs a request with its answer.
template <typename T>
struct Tagged {
    UUID tag;
    T payload;

    /// "(tag=<uuid>, <payload>)".
    std::string description() const {
        return "(tag=" + tag.description() + ", " + payload.description() + ")";
    }
};

}  // namespace velkor
