// The array's handling of the changes the daemon reports: other clients' changes and the fate
// of the array itself.
#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "values/ChildLinks.h"
#include "values/client/ServerChangeSteps.h"
#include "velkor/VKArray.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Array");

const ContainerHooks Access::arrayHooks{
    [](VKContainer& self, const KnownIds& known) {
        prefetchArrayItems(static_cast<VKArray&>(self), known);
    },
    [](VKContainer& self, VKContainer& fresh) {
        return takeArrayItems(static_cast<VKArray&>(self), static_cast<VKArray&>(fresh));
    },
    &applyChangeFromServer,
    [](VKContainer&, const VKChangeNotification& change,
       const std::shared_ptr<InnerConnection>& connection) {
        return decodeArrayChange(change, connection);
    },
    [](VKContainer& self, const VKChangeNotification& change, const VKObjectPtr& value) {
        return applyArrayChange(static_cast<VKArray&>(self), change, value);
    },
};

VKObjectPtr Access::decodeArrayChange(const VKChangeNotification& change,
                                      const std::shared_ptr<InnerConnection>& connection) {
    switch (change.type) {
        case ChangeType::childChanged:
        case ChangeType::childInserted:
        case ChangeType::childAppended:
            return ServerChangeSteps::decodeValue(change, connection, log);
        case ChangeType::childRemoved:
        case ChangeType::childMoved:
        case ChangeType::childrenRemoved:
            return nullptr;
        default:
            throw VKError(VKError::invalidData);
    }
}

std::vector<VKContainerChange> Access::applyArrayChange(VKArray& array,
                                                        const VKChangeNotification& change,
                                                        const VKObjectPtr& value) {
    const std::int64_t from = change.from;
    const std::int64_t to = change.to;
    auto& items = array.innerItems();
    auto requireIndex = [&](std::int64_t index, std::size_t end) {
        if (index < 0 || static_cast<std::uint64_t>(index) >= end) {
            throw VKError(VKError::invalidData);
        }
    };
    std::vector<VKContainerChange> events;
    switch (change.type) {
        case ChangeType::childChanged: {
            requireIndex(from, items.size());
            auto old = setInternal(array, static_cast<std::size_t>(from), value).oldValue;
            events.emplace_back(VKContainerChange::DidArrayChildReplace{from, std::move(old)});
            break;
        }
        case ChangeType::childInserted:
        case ChangeType::childAppended:
            requireIndex(from, items.size() + 1);
            ChildLinks::attach(array, value, true);
            items.insert(items.begin() + static_cast<std::ptrdiff_t>(from), value);
            events.emplace_back(VKContainerChange::DidArrayChildAdd{from, value});
            break;
        case ChangeType::childRemoved: {
            requireIndex(from, items.size());
            auto old = array.removeItem(static_cast<std::size_t>(from));
            events.emplace_back(VKContainerChange::DidArrayChildRemove{from, std::move(old)});
            break;
        }
        case ChangeType::childMoved: {
            requireIndex(from, items.size());
            requireIndex(to, items.size());
            auto moved = items[static_cast<std::size_t>(from)];
            array.moveItem(static_cast<std::size_t>(from), static_cast<std::size_t>(to));
            events.emplace_back(VKContainerChange::DidArrayChildRemove{from, moved});
            events.emplace_back(VKContainerChange::DidArrayChildAdd{to, std::move(moved)});
            break;
        }
        case ChangeType::childrenRemoved:
            removeAllInternal(array);
            events.emplace_back(VKContainerChange::DidRemoveAll{});
            break;
        default:
            throw VKError(VKError::invalidData);
    }
    return events;
}

}  // namespace velkor
