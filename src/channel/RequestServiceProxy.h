#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dbus/BusLoop.h"
#include "internals/ClientRequest.h"
#include "velkor/UUID.h"

namespace velkor {

/// The daemon's request service as the transport reaches it: each request becomes one one-way
/// method call to the daemon's service name, sent through the transport's bus loop from the
/// calling thread. The call is written out at once as far as the socket takes it; the loop
/// flushes the rest (a large blob is never left waiting for the next incoming message).
class RequestServiceProxy {
  public:
    /// Told why sending failed (the bus connection is unusable); the transport then closes.
    using ErrorHandler = std::function<void(const std::string& description)>;

    RequestServiceProxy(std::shared_ptr<dbus::BusLoop> loop, std::string serviceName,
                        ErrorHandler onError);

    /// Sends (`tag`, `request`). A request whose values cannot travel on D-Bus (a text that is
    /// not UTF-8 or holds a NUL byte) is not sent: the reason is returned and the connection is
    /// left as it is. A failure to send goes to the error handler; then nothing is returned.
    std::optional<std::string> send(const UUID& tag, const ClientRequest& request) const;

  private:
    std::shared_ptr<dbus::BusLoop> loop_;
    std::string serviceName_;
    ErrorHandler onError_;
};

}  // namespace velkor
