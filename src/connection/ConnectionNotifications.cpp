// Change traffic through the connection: publishing this client's changes, and handling the
// changes the daemon pushes from other clients.
#include "basalt/QZLogger.h"
#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

}  // namespace

std::pair<ChangeResult, std::int64_t> ConnectionImpl::publishChangeNotification(
    const ChangeNotificationPtr& change) {
    throwIfShutDown();
    auto answer = send(ClientRequest::UpdateSettings{change});
    if (auto* updated = answer.get<ServerResponse::SettingsUpdated>()) {
        return {updated->changeResult, updated->newRevision};
    }
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Settings update has failed with: %@", failed->error);
        throw failed->error;
    }
    logger().error("Settings update has failed. Unexpected response: %@", answer);
    throw VKError(VKError::serverError);
}

void ConnectionImpl::handleNotification(const ServerResponse& message) {
    if (auto* changes = message.get<ServerResponse::NoteChanges>()) {
        handleSettingsChanged(*changes);
        return;
    }
    logger().warning("Unexpected notification: %@ (connectionId=%@).", message, id_);
}

void ConnectionImpl::handleSettingsChanged(const ServerResponse::NoteChanges& message) {
    const auto& changes = message.changeNotifications;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& change = changes[i];
        if (!change)
            continue;
        if (change->type == ChangeType::settingsDeleted) {
            handleSettingsDeleted(change->id, true);
            continue;
        }
        auto container = registryOfContainers_.findForReport(change->id, change->revision);
        if (!container) {
            logger().warning("Can't find container (id=%@, connId=%@).", change->id, id_);
            continue;
        }
        const std::string& path = i < message.changePaths.size() ? message.changePaths[i] : "";
        try {
            detail::ContainerAccess::handleChangeFromServer(*container, *change, path);
        } catch (...) {
            // Whatever one change does, the rest of the message is still applied.
            logger().error("Can't handle change from server (%@).", change);
        }
    }
}

}  // namespace velkor
