#pragma once

#include <nlohmann/json.hpp>

#include "velkor/VKContainer.h"

namespace velkor::cli {

/// Makes an existing container hold what a JSON document holds, changing only what differs, so
/// that importing an unchanged export sends nothing and watchers see each real change.
class Importer {
  public:
    Importer() = delete;

    /// Whether `value` can take the contents of `json` in place: a dictionary and an object that
    /// is not a byte string, or an array and an array.
    static bool fits(const VKObjectPtr& value, const nlohmann::json& json);

    /// Gives `container` (which fits `json`) the contents of `json`: a dictionary loses the keys
    /// the object lacks; an array loses its items past the JSON array's end and gains the ones
    /// beyond its own; every other item is updated in place when both sides fit, recursively,
    /// and replaced otherwise (an equal scalar changes nothing).
    /// A value past what the daemon takes in one request (it limits the containers a request
    /// writes) is stored as an empty container of its kind, then filled entry by entry, so that
    /// a document's size is bounded by the file's limits alone.
    static void replaceContents(const VKContainerPtr& container, const nlohmann::json& json);

    /// An empty dictionary for a JSON object, an empty array for an array, else none.
    static VKContainerPtr emptyOfKind(const nlohmann::json& json);
};

}  // namespace velkor::cli
