#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velkor {

/// What one change record reports. Stored as its ordinal; the raw value on the wire is the
/// ordinal plus one (1 to 12).
enum class ChangeType : std::uint8_t {
    childChanged,
    childInserted,
    childRemoved,
    childAppended,
    childMoved,
    childrenRemoved,
    childrenReplaced,
    descendantChanged,
    updateRevision,
    containerAbandoned,
    containerDeleted,
    settingsDeleted,
};

/// The daemon's verdict on one update; the raw value is the ordinal (0 to 4).
enum class ChangeResult : std::uint8_t {
    done,
    noRevisionIncrement,
    waitToBeUpdated,
    nothingChanged,
    synchronizeConflict,
};

inline std::int64_t rawValue(ChangeType t) {
    return static_cast<std::int64_t>(t) + 1;
}
inline std::int64_t rawValue(ChangeResult r) {
    return static_cast<std::int64_t>(r);
}

/// The change type with raw value `raw` (1 to 12), or no value.
std::optional<ChangeType> changeTypeFromRawValue(std::int64_t raw);
/// The result with raw value `raw` (0 to 4), or no value.
std::optional<ChangeResult> changeResultFromRawValue(std::int64_t raw);

/// The case name, e.g. "childInserted".
std::string_view caseName(ChangeType t);
/// The case name, e.g. "waitToBeUpdated".
std::string_view caseName(ChangeResult r);

}  // namespace velkor
