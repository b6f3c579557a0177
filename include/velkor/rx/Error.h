#pragma once

#include <exception>

namespace velkor::rx {

/// The payload of an error event: any exception, carried without being thrown.
using Error = std::exception_ptr;

}  // namespace velkor::rx
