#pragma once

#include <optional>
#include <utility>

#include "velkor/VKError.h"

namespace velkor::test {

/// Runs `f` and gives the exception of type E it throws, or none.
template <typename E, typename F>
std::optional<E> thrownBy(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

/// Runs `f` and gives the code of the VKError it throws, or none.
template <typename F>
std::optional<VKError::Code> errorOf(F&& f) {
    const auto error = thrownBy<VKError>(std::forward<F>(f));
    return error ? std::optional(error->code()) : std::nullopt;
}

}  // namespace velkor::test
