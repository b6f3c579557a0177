#include "channel/RequestServiceProxy.h"

#include "dbus/BusError.h"
#include "dbus/RequestCodec.h"

namespace velkor {

RequestServiceProxy::RequestServiceProxy(std::shared_ptr<dbus::BusLoop> loop,
                                         std::string serviceName, ErrorHandler onError)
    : loop_(std::move(loop)), serviceName_(std::move(serviceName)), onError_(std::move(onError)) {}

std::optional<std::string> RequestServiceProxy::send(const UUID& tag,
                                                     const ClientRequest& request) const {
    std::optional<std::string> unsendable;
    try {
        loop_->withBus([&](dbus::BusConnection& bus) {
            dbus::Message call;
            try {
                call = dbus::RequestCodec::build(bus, serviceName_, tag, request);
            } catch (const dbus::BusError& e) {
                unsendable = e.what();
                return;
            }
            bus.send(call);
        });
    } catch (const dbus::BusError& e) {
        // Reported outside the loop's lock: the handler closes the transport, which stops the
        // loop.
        onError_(e.what());
    }
    return unsendable;
}

}  // namespace velkor
