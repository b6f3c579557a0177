#include "support/FakeBusDaemon.h"

#include <stdexcept>

#include "dbus/BusError.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"

namespace velkor::test {

FakeBusDaemon::FakeBusDaemon(const std::string& address, const std::string& serviceName,
                             Handler handler)
    : serviceName_(serviceName), handler_(std::move(handler)) {
    auto bus = dbus::BusConnection::open(address);
    uniqueName_ = bus.uniqueName();
    if (!bus.requestName(serviceName_))
        throw std::runtime_error("the service name is taken");
    loop_ = std::make_unique<dbus::BusLoop>(std::move(bus));
    loop_->start([this](const dbus::Message& m) { handle(m); }, [] {});
}

FakeBusDaemon::~FakeBusDaemon() {
    close();
}

void FakeBusDaemon::handle(const dbus::Message& message) {
    if (message.type() != SD_BUS_MESSAGE_METHOD_CALL ||
        message.interface() != dbus_names::kRequestInterface)
        return;
    Received received{std::string(message.sender()), std::nullopt};
    auto parsed = dbus::RequestCodec::parse(message);
    if (auto* request = std::get_if<Tagged<ClientRequest>>(&parsed)) {
        received.request = *request;
        if (handler_) {
            if (auto response = handler_(request->payload))
                answer(received.sender, request->tag, *response);
        }
    }
    requests_.push(std::move(received));
}

void FakeBusDaemon::answer(const std::string& destination, const UUID& tag,
                           const ServerResponse& response) {
    loop_->withBus([&](dbus::BusConnection& bus) {
        bus.send(dbus::ResponseCodec::build(bus, destination, tag, response));
    });
}

void FakeBusDaemon::sendRaw(const std::string& destination, const char* member,
                            const std::function<void(sd_bus_message*)>& append) {
    loop_->withBus([&](dbus::BusConnection& bus) {
        sd_bus_message* raw = nullptr;
        dbus::BusError::check(sd_bus_message_new_signal(bus.get(), &raw, dbus_names::kObjectPath,
                                                        dbus_names::kResponseInterface, member),
                              "Creating a signal");
        dbus::Message signal(raw);
        dbus::BusError::check(sd_bus_message_set_destination(raw, destination.c_str()),
                              "Addressing a signal");
        append(raw);
        bus.send(signal);
    });
}

void FakeBusDaemon::releaseName() {
    loop_->withBus([&](dbus::BusConnection& bus) {
        dbus::BusError::check(sd_bus_release_name(bus.get(), serviceName_.c_str()),
                              "Releasing the service name");
    });
}

void FakeBusDaemon::close() {
    if (!loop_)
        return;
    loop_->stop();  // no handler runs after this, so none sees the loop go
    loop_.reset();
}

}  // namespace velkor::test
