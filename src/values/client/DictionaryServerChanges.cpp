// The dictionary's handling of the changes the daemon reports: other clients' changes and the
// fate of the dictionary itself.
#include "basalt/QZLogger.h"
#include "values/client/ContainerLocks.h"
#include "values/client/ContainerProxy.h"
#include "values/client/ServerChangeSteps.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");

void VKDictionary::handleChangeFromServer(const VKChangeNotification& change,
                                          const std::string& path) {
    auto connection = ServerChangeSteps::requireConnection(*this);
    if (ServerChangeSteps::carriesNothing(change)) {
        return;
    }
    if (!ServerChangeSteps::applyToAnyContainer(*this, change, *connection)) {
        if (auto event = applyToItems(change, connection)) {
            postChangeNotification(std::move(*event), *connection);
        }
    }
    ServerChangeSteps::notifyRoot(*this, path, *connection);
}

std::optional<VKContainerChange> VKDictionary::applyToItems(
    const VKChangeNotification& change, const std::shared_ptr<InnerConnection>& connection) {
    switch (change.type) {
        case ChangeType::childChanged:
        case ChangeType::childInserted: {
            auto value = ServerChangeSteps::decodeValue(change, connection, log);
            auto old = withWriteItemsLock([&] {
                auto replaced = setInternal(change.key, value).oldValue;
                setRevision(change.revision);
                return replaced;
            });
            // Observers get the content of a replaced sub-tree that was never fetched, when it
            // can still be had.
            if (auto proxy = std::dynamic_pointer_cast<ContainerProxy>(old);
                proxy && change.type == ChangeType::childChanged) {
                try {
                    old = proxy->obtainRealContainer(nullptr);
                } catch (const VKError&) {
                    old = nullptr;
                }
            }
            if (!old) {
                return VKContainerChange::DidDictionaryChildAdd{change.key, std::move(value)};
            }
            return VKContainerChange::DidDictionaryChildReplace{change.key, std::move(old)};
        }
        case ChangeType::childRemoved: {
            auto old = withWriteItemsLock([&] {
                auto removed = removeInternal(change.key).oldValue;
                setRevision(change.revision);
                return removed;
            });
            if (!old) {
                return std::nullopt;
            }
            return VKContainerChange::DidDictionaryChildRemove{change.key, std::move(old)};
        }
        case ChangeType::childrenRemoved:
            withWriteItemsLock([&] {
                removeAllInternal();
                setRevision(change.revision);
            });
            return VKContainerChange::DidRemoveAll{};
        default:
            throw VKError(VKError::invalidData);
    }
}

}  // namespace velkor
