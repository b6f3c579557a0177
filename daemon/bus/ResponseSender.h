#pragma once

#include <string>

#include "core/Outcome.h"
#include "dbus/BusConnection.h"
#include "internals/ServerResponse.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// Sends answers and notifications as signals addressed to one client's unique name, so that no
/// other connection on the bus receives them.
class ResponseSender {
  public:
    explicit ResponseSender(dbus::BusConnection& bus) : bus_(bus) {}

    /// Sends `response` under `tag` to `destination`. A failure (a connection that has closed, a
    /// queue that is full) is logged: one client's trouble does not stop the others' answers.
    void send(const std::string& destination, const UUID& tag, const ServerResponse& response);

    /// Sends the answer to a request under the request's `tag`, then each of its notices under a
    /// fresh tag, in order.
    void deliver(const std::string& requester, const UUID& tag, const Outcome& outcome);

  private:
    dbus::BusConnection& bus_;
};

}  // namespace velkor::daemon
