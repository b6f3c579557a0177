#include "Importer.h"

#include <functional>
#include <string>
#include <unordered_set>

#include "JsonMapping.h"
#include "internals/CanonicalText.h"
#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor::cli {

namespace {

/// Stores `json` with `put` (which stores the value it is given): in one request when the daemon
/// takes it, else as an empty container, filled then entry by entry.
void putInParts(const nlohmann::json& json, const std::function<void(VKObjectPtr)>& put) {
    try {
        put(JsonMapping::fromJson(json));
        return;
    } catch (const VKError& error) {
        if (error != VKError::invalidData || !Importer::emptyOfKind(json))
            throw;
    }
    auto container = Importer::emptyOfKind(json);
    put(container);  // from here on it is the one in the file
    Importer::replaceContents(container, json);
}

}  // namespace

bool Importer::fits(const VKObjectPtr& value, const nlohmann::json& json) {
    return (asDictionary(value) && json.is_object() && !JsonMapping::isData(json)) ||
           (asArray(value) && json.is_array());
}

void Importer::replaceContents(const VKContainerPtr& container, const nlohmann::json& json) {
    if (auto dictionary = asDictionary(container)) {
        // Keys are compared as the dictionary compares them: a key spelt in another Unicode form
        // is the same key, updated in place rather than removed and added again.
        std::unordered_set<std::string> keys;
        for (const auto& [key, item] : json.items())
            keys.insert(canonicalText(key));
        for (const auto& [key, item] : dictionary->items()) {
            if (!keys.contains(canonicalText(key)))
                dictionary->remove(key);
        }
        for (const auto& [key, item] : json.items()) {
            auto existing = dictionary->get(key);
            if (fits(existing, item))
                replaceContents(asContainer(existing), item);
            else
                putInParts(item, [&dictionary, &name = key](VKObjectPtr value) {
                    dictionary->set(name, std::move(value));
                });
        }
        return;
    }
    auto array = asArray(container);
    const auto wanted = static_cast<std::int64_t>(json.size());
    while (static_cast<std::int64_t>(array->count()) > wanted)
        array->remove(static_cast<std::int64_t>(array->count()) - 1);
    const auto kept = static_cast<std::int64_t>(array->count());
    for (std::int64_t i = 0; i < kept; ++i) {
        auto existing = array->get(i);
        const auto& item = json[static_cast<std::size_t>(i)];
        if (fits(existing, item))
            replaceContents(asContainer(existing), item);
        else
            putInParts(item, [&](VKObjectPtr value) { array->set(i, std::move(value)); });
    }
    for (std::int64_t i = kept; i < wanted; ++i)
        putInParts(json[static_cast<std::size_t>(i)],
                   [&](VKObjectPtr value) { array->append(std::move(value)); });
}

VKContainerPtr Importer::emptyOfKind(const nlohmann::json& json) {
    if (json.is_array())
        return VKArray::make();
    if (json.is_object() && !JsonMapping::isData(json))
        return VKDictionary::make();
    return nullptr;
}

}  // namespace velkor::cli
