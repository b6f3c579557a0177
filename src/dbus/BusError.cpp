#include "dbus/BusError.h"

#include <cstring>

namespace velkor::dbus {

BusError::BusError(const std::string& what, int error)
    : std::runtime_error(what + ": " + std::strerror(error)), error_(error) {}

int BusError::check(int result, const char* what) {
    if (result < 0)
        throw BusError(what, -result);
    return result;
}

}  // namespace velkor::dbus
