#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace velkor::test {

/// Points DBUS_SYSTEM_BUS_ADDRESS (what code that uses "the system bus" connects to) at
/// `address` for the scope's lifetime, then restores it. Set it while no other thread of the test
/// reads the environment.
class SystemBusAddress {
  public:
    explicit SystemBusAddress(const std::string& address) {
        if (const char* old = std::getenv(kVariable))
            saved_ = old;
        setenv(kVariable, address.c_str(), 1);
    }
    ~SystemBusAddress() {
        if (saved_)
            setenv(kVariable, saved_->c_str(), 1);
        else
            unsetenv(kVariable);
    }
    SystemBusAddress(const SystemBusAddress&) = delete;
    SystemBusAddress& operator=(const SystemBusAddress&) = delete;

  private:
    static constexpr const char* kVariable = "DBUS_SYSTEM_BUS_ADDRESS";
    std::optional<std::string> saved_;
};

}  // namespace velkor::test
