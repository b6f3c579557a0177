#pragma once

#include <exception>
#include <string>

#include "velkor/VKError.h"

namespace velkor {

/// The sentence a log line shows for an error carried as an exception pointer: a VKError's
/// localized description, another exception's what(), or "unknown error".
inline std::string localizedErrorText(const std::exception_ptr& error) {
    if (!error)
        return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const VKError& e) {
        return std::string(e.localizedDescription());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace velkor
