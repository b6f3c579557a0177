// The dictionary's handling of the changes the daemon reports: other clients' changes and the
// fate of the dictionary itself.
#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "values/client/ServerChangeSteps.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");

const ContainerHooks Access::dictionaryHooks{
    [](VKContainer& self, const KnownIds& known) {
        prefetchDictionaryItems(static_cast<VKDictionary&>(self), known);
    },
    [](VKContainer& self, VKContainer& fresh) {
        return takeDictionaryItems(static_cast<VKDictionary&>(self),
                                   static_cast<VKDictionary&>(fresh));
    },
    &applyChangeFromServer,
    [](VKContainer&, const VKChangeNotification& change,
       const std::shared_ptr<InnerConnection>& connection) {
        return decodeDictionaryChange(change, connection);
    },
    [](VKContainer& self, const VKChangeNotification& change, const VKObjectPtr& value) {
        return applyDictionaryChange(static_cast<VKDictionary&>(self), change, value);
    },
};

VKObjectPtr Access::decodeDictionaryChange(const VKChangeNotification& change,
                                           const std::shared_ptr<InnerConnection>& connection) {
    switch (change.type) {
        case ChangeType::childChanged:
        case ChangeType::childInserted:
            return ServerChangeSteps::decodeValue(change, connection, log);
        case ChangeType::childRemoved:
        case ChangeType::childrenRemoved:
            return nullptr;
        default:
            throw VKError(VKError::invalidData);
    }
}

std::vector<VKContainerChange> Access::applyDictionaryChange(VKDictionary& dictionary,
                                                             const VKChangeNotification& change,
                                                             const VKObjectPtr& value) {
    std::vector<VKContainerChange> events;
    switch (change.type) {
        case ChangeType::childChanged:
        case ChangeType::childInserted: {
            // A replaced sub-tree that was never fetched reaches the observers as the proxy it
            // is: fetching it here would hold up every later report, and the daemon has
            // usually dropped it already.
            auto old = setInternal(dictionary, change.key, value).oldValue;
            if (!old) {
                events.emplace_back(VKContainerChange::DidDictionaryChildAdd{change.key, value});
            } else {
                events.emplace_back(
                    VKContainerChange::DidDictionaryChildReplace{change.key, std::move(old)});
            }
            break;
        }
        case ChangeType::childRemoved:
            if (auto old = removeInternal(dictionary, change.key).oldValue) {
                events.emplace_back(
                    VKContainerChange::DidDictionaryChildRemove{change.key, std::move(old)});
            }
            break;
        case ChangeType::childrenRemoved:
            removeAllInternal(dictionary);
            events.emplace_back(VKContainerChange::DidRemoveAll{});
            break;
        default:
            throw VKError(VKError::invalidData);
    }
    return events;
}

}  // namespace velkor
