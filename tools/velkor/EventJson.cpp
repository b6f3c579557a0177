#include "EventJson.h"

#include <type_traits>

#include "JsonMapping.h"
#include "velkor/VKConversions.h"

namespace velkor::cli {

namespace {

using Change = VKContainerChange;

// The value now under `key` of `container`, fetched when it had not been yet.
VKObjectPtr currentItem(const VKContainerPtr& container, const std::string& key) {
    auto dictionary = asDictionary(container);
    return dictionary ? dictionary->get(key) : nullptr;
}

VKObjectPtr currentItem(const VKContainerPtr& container, std::int64_t index) {
    auto array = asArray(container);
    if (!array || index < 0 || static_cast<std::size_t>(index) >= array->count())
        return nullptr;
    return array->get(index);
}

// Whether `value` is a container that was never fetched (a proxy).
bool unfetched(const VKObjectPtr& value) {
    return value && value->isContainer() && !asArray(value) && !asDictionary(value);
}

// A new child as the event carries it, or, when that is a container not fetched yet, as the
// container now holds it.
template <typename Place>
VKObjectPtr addedItem(const VKObjectPtr& child, const VKContainerPtr& container,
                      const Place& place) {
    return unfetched(child) ? currentItem(container, place) : child;
}

// A replaced or removed value; one that was never fetched cannot be fetched any more and is
// shown as null.
nlohmann::json oldItem(const VKObjectPtr& old) {
    return unfetched(old) ? nlohmann::json() : JsonMapping::toJson(old);
}

}  // namespace

nlohmann::json EventJson::line(const VKContainerChange& change, const VKContainerPtr& container,
                               const std::string& containerPath) {
    nlohmann::json json{{"path", containerPath}};
    std::visit(
        [&](const auto& event) {
            using Event = std::decay_t<decltype(event)>;
            if constexpr (std::is_same_v<Event, Change::DidDictionaryChildAdd>) {
                json["event"] = "didDictionaryChildAdd";
                json["key"] = event.key;
                json["value"] =
                    JsonMapping::toJson(addedItem(event.newChild, container, event.key));
            } else if constexpr (std::is_same_v<Event, Change::DidArrayChildAdd>) {
                json["event"] = "didArrayChildAdd";
                json["index"] = event.index;
                json["value"] =
                    JsonMapping::toJson(addedItem(event.newChild, container, event.index));
            } else if constexpr (std::is_same_v<Event, Change::DidDictionaryChildReplace>) {
                json["event"] = "didDictionaryChildReplace";
                json["key"] = event.key;
                json["old"] = oldItem(event.oldChild);
                json["value"] = JsonMapping::toJson(currentItem(container, event.key));
            } else if constexpr (std::is_same_v<Event, Change::DidArrayChildReplace>) {
                json["event"] = "didArrayChildReplace";
                json["index"] = event.index;
                json["old"] = oldItem(event.oldChild);
                json["value"] = JsonMapping::toJson(currentItem(container, event.index));
            } else if constexpr (std::is_same_v<Event, Change::DidDictionaryChildRemove>) {
                json["event"] = "didDictionaryChildRemove";
                json["key"] = event.key;
                json["old"] = oldItem(event.oldChild);
            } else if constexpr (std::is_same_v<Event, Change::DidArrayChildRemove>) {
                json["event"] = "didArrayChildRemove";
                json["index"] = event.index;
                json["old"] = oldItem(event.oldChild);
            } else if constexpr (std::is_same_v<Event, Change::DidDescendantChange>) {
                json["event"] = "didDescendantChange";
                json["path"] = event.path;
                json["value"] = JsonMapping::toJson(event.child);
            } else if constexpr (std::is_same_v<Event, Change::DidRemoveAll>) {
                json["event"] = "didRemoveAll";
            } else {
                static_assert(std::is_same_v<Event, Change::DidDelete>);
                json["event"] = "didDelete";
            }
        },
        change.payload());
    return json;
}

}  // namespace velkor::cli
