#pragma once

#include <exception>
#include <string>

#include "velkor/VKError.h"

namespace velkor {

/// The text form of the exception being handled, for the accessors' log lines: a VKError's
/// description (its case name), another exception's what().
inline std::string currentFailureText() {
    try {
        throw;
    } catch (const VKError& e) {
        return std::string(e.description());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace velkor
