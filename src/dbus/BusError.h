#pragma once

#include <stdexcept>
#include <string>

namespace velkor::dbus {

/// A failure reported by sd-bus: what was attempted and the errno-style code it gave. The D-Bus
/// layer turns every negative sd-bus result into one of these, so that callers decide what a
/// failure means (a transport closes, the daemon refuses one request) instead of crashing.
class BusError : public std::runtime_error {
  public:
    /// `error` is a positive errno value, e.g. ENOTCONN.
    BusError(const std::string& what, int error);

    int error() const { return error_; }

    /// Gives `result` back when it is not negative; otherwise throws a BusError for `what`.
    static int check(int result, const char* what);

  private:
    int error_;
};

}  // namespace velkor::dbus
