#include "values/client/ServerChangeSteps.h"

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "registry/RegistryOfContainers.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/ServerOrder.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

std::shared_ptr<InnerConnection> ServerChangeSteps::requireConnection(
    const VKContainer& container) {
    auto connection = Access::innerConnection(container);
    if (!connection) {
        throw VKError(VKError::connectionLost);
    }
    return connection;
}

VKObjectPtr ServerChangeSteps::decodeValue(const VKChangeNotification& change,
                                           const std::shared_ptr<InnerConnection>& connection,
                                           const basalt::QZLogger& logger) {
    VKObjectPtr value;
    if (auto decoder = DeserializerOnClient::make(Blob(change.data), connection)) {
        value = decoder->decodeVKObject();
    }
    if (!value) {
        logger.error("Can't decode object.");
        throw VKError(VKError::invalidData);
    }
    return value;
}

bool ServerChangeSteps::applyToAnyContainer(VKContainer& container,
                                            const VKChangeNotification& change,
                                            const std::string& path, InnerConnection& connection) {
    switch (change.type) {
        case ChangeType::updateRevision: {
            // Under the write lock: a change of ours in its exchange takes its own revision
            // after this one is read. After a gap it waits like any other report: taking its
            // revision would have the container skip what the gap holds.
            const bool held = container.withWriteItemsLock([&] {
                auto& order = Access::serverOrder(container);
                if (order.mustWait(change.revision, container.revision())) {
                    order.hold({change, path, nullptr});
                    return true;
                }
                Access::raiseRevision(container, change.revision);
                return false;
            });
            if (held) {
                return true;
            }
            break;
        }
        case ChangeType::containerAbandoned:
            // The daemon still has it, and tells us nothing more of it until we fetch it again.
            // The root hears of it only when the content fetched differs.
            Access::bringBack(container, connection, &path);
            return true;
        case ChangeType::containerDeleted:
            container.withWriteItemsLock([&] { Access::setRevision(container, change.revision); });
            connection.unregisterContainer(container.id(), container.weak_from_this());
            Access::postChangeNotification(container, VKContainerChange::DidDelete{}, connection);
            break;
        default:
            return false;
    }
    notifyRoot(container, path, connection);
    return true;
}

bool ServerChangeSteps::carriesNothing(const VKChangeNotification& change) {
    return change.type == ChangeType::descendantChanged ||
           change.type == ChangeType::childrenReplaced;
}

void ServerChangeSteps::notifyRoot(VKContainer& container, const std::string& path,
                                   InnerConnection& connection) {
    const UUID rootId = container.rootId();
    if (rootId == container.id()) {
        return;
    }
    if (auto root = connection.registryOfContainers().tryFind(rootId)) {
        Access::postChangeNotification(
            *root, VKContainerChange::DidDescendantChange{Access::sharedContainer(container), path},
            connection);
    }
}

}  // namespace velkor
