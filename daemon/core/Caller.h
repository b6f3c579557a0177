#pragma once

#include <cstdint>
#include <string>

namespace velkor::daemon {

/// Who sent a request: the client's id (on D-Bus its unique name, never reused while the daemon
/// runs) and the uid of its process, on which access depends.
struct Caller {
    std::string clientId;
    std::uint32_t uid = 0;
};

}  // namespace velkor::daemon
