#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dbus/BusLoop.h"
#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"
#include "internals/Tagged.h"
#include "support/BlockingQueue.h"

namespace velkor::test {

/// The settings daemon's bus side in miniature, for transport tests on a private bus: it owns
/// the service name, records every request that reaches it (as received on the bus) and answers
/// through a handler, from its own loop thread. Tests can also send answers of their own, raw
/// signals of any shape, give up the name, or close the connection as a dying daemon would.
class FakeBusDaemon {
  public:
    /// Gives the answer to one request, or none.
    using Handler = std::function<std::optional<ServerResponse>(const ClientRequest&)>;

    /// One request as it arrived.
    struct Received {
        std::string sender;
        std::optional<Tagged<ClientRequest>> request;  ///< none when it did not parse
    };

    FakeBusDaemon(const std::string& address, const std::string& serviceName, Handler handler = {});
    ~FakeBusDaemon();
    FakeBusDaemon(const FakeBusDaemon&) = delete;
    FakeBusDaemon& operator=(const FakeBusDaemon&) = delete;

    const std::string& uniqueName() const { return uniqueName_; }

    /// The next request that arrived, waiting up to `timeout` for it.
    std::optional<Received> nextRequest(
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return requests_.next(timeout);
    }

    /// Sends (`tag`, `response`) to the connection `destination`.
    void answer(const std::string& destination, const UUID& tag, const ServerResponse& response);
    /// Sends the answer signal `member` to `destination`, its body written by `append`.
    void sendRaw(const std::string& destination, const char* member,
                 const std::function<void(sd_bus_message*)>& append);

    /// Gives up the service name; the connection stays.
    void releaseName();
    /// Closes the connection, as a daemon that exits does. Idempotent.
    void close();

  private:
    void handle(const dbus::Message& message);

    std::string serviceName_;
    Handler handler_;
    std::string uniqueName_;
    BlockingQueue<Received> requests_;
    std::unique_ptr<dbus::BusLoop> loop_;  // last: stops before what its handler uses goes
};

}  // namespace velkor::test
