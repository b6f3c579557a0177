#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "dbus/BusError.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"
#include "support/BlockingQueue.h"

namespace velkor::test {

/// The settings daemon's bus side in miniature, for transport tests on a private bus: it owns
/// the service name and records every request that reaches it. Tests send answers, raw signals
/// of any shape, give up the name, or close the connection as a dying daemon would.
class FakeBusDaemon {
  public:
    /// One request as it arrived.
    struct Received {
        std::string sender;
        std::optional<Tagged<ClientRequest>> request;  ///< none when it did not parse
    };

    FakeBusDaemon(const std::string& address, const std::string& serviceName)
        : serviceName_(serviceName) {
        auto bus = dbus::BusConnection::open(address);
        if (!bus.requestName(serviceName_))
            throw std::runtime_error("the service name is taken");
        loop_ = std::make_unique<dbus::BusLoop>(std::move(bus));
        loop_->start(
            [this](const dbus::Message& message) {
                if (message.type() != SD_BUS_MESSAGE_METHOD_CALL)
                    return;
                if (message.interface() != dbus_names::kRequestInterface) {
                    // Like a daemon without direct channels: the transport stays on the bus.
                    loop_->withBus([&](dbus::BusConnection& bus) {
                        bus.replyWithError(message, SD_BUS_ERROR_UNKNOWN_METHOD, "no such method");
                    });
                    return;
                }
                auto parsed = dbus::RequestCodec::parse(message);
                auto* request = std::get_if<Tagged<ClientRequest>>(&parsed);
                requests_.push({std::string(message.sender()),
                                request ? std::optional(*request) : std::nullopt});
            },
            [] {});
    }
    ~FakeBusDaemon() { close(); }

    /// The next request that arrived, waiting up to ten seconds for it.
    std::optional<Received> nextRequest() { return requests_.next(); }

    /// Sends (`tag`, `response`) to the connection `destination`.
    void answer(const std::string& destination, const UUID& tag, const ServerResponse& response) {
        loop_->withBus([&](dbus::BusConnection& bus) {
            bus.send(dbus::ResponseCodec::build(bus, destination, tag, response));
        });
    }
    /// Sends the answer signal `member` to `destination`, its body `tag` and what `append` adds.
    void sendRaw(const std::string& destination, const char* member, const UUID& tag,
                 const std::function<void(sd_bus_message*)>& append) {
        loop_->withBus([&](dbus::BusConnection& bus) {
            sd_bus_message* raw = nullptr;
            dbus::BusError::check(
                sd_bus_message_new_signal(bus.get(), &raw, dbus_names::kObjectPath,
                                          dbus_names::kResponseInterface, member),
                "Creating a signal");
            dbus::Message signal(raw);
            dbus::BusError::check(sd_bus_message_set_destination(raw, destination.c_str()),
                                  "Addressing a signal");
            dbus::BusError::check(sd_bus_message_append_array(raw, 'y', tag.bytes().data(), 16),
                                  "Appending a tag");
            append(raw);
            bus.send(signal);
        });
    }
    /// Gives up the service name; the connection stays.
    void releaseName() {
        loop_->withBus([&](dbus::BusConnection& bus) {
            dbus::BusError::check(sd_bus_release_name(bus.get(), serviceName_.c_str()),
                                  "Releasing the service name");
        });
    }
    /// Closes the connection, as a daemon that exits does. Idempotent.
    void close() {
        if (loop_)
            loop_->stop();  // no handler runs after this, so none sees the loop go
        loop_.reset();
    }

  private:
    std::string serviceName_;
    BlockingQueue<Received> requests_;
    std::unique_ptr<dbus::BusLoop> loop_;  // last: stops before what its handler uses goes
};

}  // namespace velkor::test
