#pragma once

#include <optional>

#include "velkor/VKError.h"

namespace velkor::test {

/// Runs `f` and gives the code of the VKError it throws, or none.
template <typename F>
std::optional<VKError::Code> errorOf(F&& f) {
    try {
        f();
    } catch (const VKError& e) {
        return e.code();
    }
    return std::nullopt;
}

}  // namespace velkor::test
