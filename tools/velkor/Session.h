#pragma once

#include <memory>
#include <string>

#include "velkor/VKConnection.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/di/Container.h"

namespace velkor::cli {

/// The library as the tool uses it: registered in a dependency container of its own, with the
/// connection monitor keeping a connection to the daemon.
class Session {
  public:
    /// Uses the bus at `busAddress` as the system bus when it is not empty (the library connects
    /// to the system bus, honouring DBUS_SYSTEM_BUS_ADDRESS), registers the library and starts
    /// the connection monitor, which connects at once.
    explicit Session(const std::string& busAddress);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const VKConnectionMonitorPtr& monitor() const { return monitor_; }

    /// The monitor's current connection. Throws VKError (cannotConnect) when it has none.
    VKConnectionPtr connection() const;

  private:
    di::Container container_;
    VKConnectionMonitorPtr monitor_;
};

}  // namespace velkor::cli
