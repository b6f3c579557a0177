#pragma once

#include <functional>
#include <string>

#include "velkor/rx/Disposable.h"

namespace velkor {

/// Tells observers when the settings daemon announces that it is online: on D-Bus, when the
/// daemon's service name gains an owner. Registered in the dependency container next to the
/// transport.
class DaemonOnlineCenter {
  public:
    virtual ~DaemonOnlineCenter() = default;

    /// Calls `callback` (on a thread of the centre's choice) each time the daemon named `name`
    /// comes online, until the returned disposable is disposed.
    virtual rx::DisposablePtr addObserver(const std::string& name,
                                          std::function<void()> callback) = 0;
};

}  // namespace velkor
