#include "channel/VirtualChannelToServer.h"

#include "basalt/QZLogger.h"
#include "utils/ErrorText.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ServerXpcChannel");
    return log;
}

}  // namespace

void VirtualChannelToServer::onNext(const Tagged<ClientRequest>& message) {
    logger().debug("Request on server channel: %@", message);
    requestSubject.onNext(message);
}

void VirtualChannelToServer::onError(rx::Error error) {
    logger().error("Client failed server channel: %@", localizedErrorText(error));
    requestSubject.onCompleted();
}

void VirtualChannelToServer::onCompleted() {
    logger().debug("Client completed server channel.");
    requestSubject.onCompleted();
}

}  // namespace velkor
