#pragma once

#include <stdexcept>
#include <string>
#include <variant>

#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"

namespace velkor::bench {

/// Owns `service` on the bus at `address` and answers every request with requestSucceeded from
/// its loop thread, as the daemon would, doing nothing else.
class EchoServer {
  public:
    EchoServer(const std::string& address, const std::string& service)
        : loop_(dbus::BusConnection::open(address)) {
        if (!loop_.withBus([&](dbus::BusConnection& bus) { return bus.requestName(service); }))
            throw std::runtime_error("the service name is taken");
        loop_.start([this](const dbus::Message& m) { answer(m); }, [] {});
    }

  private:
    void answer(const dbus::Message& call) {
        auto parsed = dbus::RequestCodec::parse(call);
        const auto* request = std::get_if<Tagged<ClientRequest>>(&parsed);
        if (!request)
            return;
        std::string sender(call.sender());
        loop_.withBus([&](dbus::BusConnection& bus) {
            bus.send(dbus::ResponseCodec::build(bus, sender, request->tag,
                                                ServerResponse::RequestSucceeded{}));
        });
    }

    dbus::BusLoop loop_;
};

}  // namespace velkor::bench
