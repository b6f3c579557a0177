#include "bus/ResponseSender.h"

#include "basalt/QZLogger.h"
#include "dbus/BusError.h"
#include "dbus/ResponseCodec.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.ResponseSender");

}  // namespace

void ResponseSender::send(const std::string& destination, const UUID& tag,
                          const ServerResponse& response) {
    try {
        bus_.send(dbus::ResponseCodec::build(bus_, destination, tag, response));
    } catch (const dbus::BusError& e) {
        log.error("Can't send %@ to %@: %@", response, destination, e.what());
    }
}

void ResponseSender::deliver(const std::string& requester, const UUID& tag,
                             const Outcome& outcome) {
    send(requester, tag, outcome.answer);
    for (const auto& notice : outcome.notices)
        send(notice.clientId, UUID::random(), notice.changes);
}

}  // namespace velkor::daemon
