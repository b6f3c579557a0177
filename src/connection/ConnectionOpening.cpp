// Bringing settings from the daemon into the process: fetching, opening or creating settings,
// resolving proxies, and the subscription flag containers report.
#include "basalt/QZLogger.h"
#include "connection/ConnectionImpl.h"
#include "velkor/VKContainer.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

}  // namespace

void ConnectionImpl::setHasSubscription(const UUID& containerId, bool hasSubscription) {
    throwIfShutDown();
    auto answer = send(ClientRequest::SetHasSubscription{containerId, hasSubscription});
    if (answer.get<ServerResponse::RequestSucceeded>())
        return;
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Set 'has subscription' failed (id=%@). Error: %@", containerId,
                       failed->error);
        throw failed->error;
    }
    logger().error("Set 'has subscription' failed (id=%@). Unexpected response: %@", containerId,
                   answer);
    throw VKError(VKError::serverError);
}

// Opening, creating, fetching and resolving need the client decoder and encoder, which are not
// part of the library yet: until then they refuse with notImplementedYet.
void ConnectionImpl::createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                    VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

VKConnection::OpenResult ConnectionImpl::openOrCreateSettings(const std::shared_ptr<VKContainer>&,
                                                              const std::string&, VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

VKObjectPtr ConnectionImpl::getSetting(const std::string&, const std::string&, bool, VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

std::shared_ptr<VKContainer> ConnectionImpl::resolveContainerProxy(const UUID&, bool) {
    throw VKError(VKError::notImplementedYet);
}

}  // namespace velkor
