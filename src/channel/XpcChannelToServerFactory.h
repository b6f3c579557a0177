#pragma once

#include <chrono>
#include <string>

#include "velkor/di/Container.h"

namespace velkor {

/// Registers the transport to the settings daemon in the host's dependency container.
class XpcChannelToServerFactory {
  public:
    XpcChannelToServerFactory() = delete;

    /// Registers `ConnectionToServer`, transient (a new object per resolution): a new
    /// XpcChannelToServer to the daemon named by the registered BKProductDefines (selector 2), on
    /// the bus at `busAddress` (empty: the system bus), built within `timeout` (the connection's
    /// request time-out). Without a BKProductDefines registration that names the daemon,
    /// resolving the transport logs an error and gives none.
    static void registerWith(di::Container& container, const std::string& busAddress = {},
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));
};

}  // namespace velkor
