#pragma once

#include <map>
#include <optional>
#include <string>

namespace velkor {

/// Product-wide constants that the host registers in its dependency container. The library
/// reads one entry: selector 2, the D-Bus name of the settings daemon, which is also the name
/// whose appearance on the bus announces that the daemon is online.
class BKProductDefines {
  public:
    /// The selector of the daemon's service name.
    static constexpr int kDaemonServiceName = 2;
    /// The service name used when the host gives none.
    static constexpr const char* kDefaultDaemonServiceName = "org.velkor.SettingsDaemon";

    /// Holds the default daemon service name under selector 2.
    BKProductDefines();
    /// Holds exactly the given entries.
    explicit BKProductDefines(std::map<int, std::string> entries);

    /// The text stored under `selector`, or no value.
    std::optional<std::string> lookup(int selector) const;

  private:
    std::map<int, std::string> entries_;
};

}  // namespace velkor
