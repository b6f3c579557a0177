#include "internals/ChangeType.h"

namespace velkor {

namespace {

constexpr std::string_view kTypeNames[] = {
    "childChanged",   "childInserted",      "childRemoved",     "childAppended",
    "childMoved",     "childrenRemoved",    "childrenReplaced", "descendantChanged",
    "updateRevision", "containerAbandoned", "containerDeleted", "settingsDeleted",
};

constexpr std::string_view kResultNames[] = {
    "done", "noRevisionIncrement", "waitToBeUpdated", "nothingChanged", "synchronizeConflict",
};

}  // namespace

std::optional<ChangeType> changeTypeFromRawValue(std::int64_t raw) {
    if (raw < 1 || raw > 12)
        return std::nullopt;
    return static_cast<ChangeType>(raw - 1);
}

std::optional<ChangeResult> changeResultFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 4)
        return std::nullopt;
    return static_cast<ChangeResult>(raw);
}

std::string_view caseName(ChangeType t) {
    return kTypeNames[static_cast<int>(t)];
}

std::string_view caseName(ChangeResult r) {
    return kResultNames[static_cast<int>(r)];
}

}  // namespace velkor
