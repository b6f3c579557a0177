#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::cli {

/// A place in a settings file as the daemon names it: dictionary keys and decimal array indexes
/// joined by "/", e.g. "window/size/0"; the empty path is the root. As in the library, slashes
/// at the start and the end are ignored. A key that contains "/" cannot be named.
class SettingsPath {
  public:
    /// The root.
    SettingsPath() = default;

    /// Parses `text`. Throws CommandError (badInput) for an empty part inside the path ("a//b"),
    /// naming its byte offset, and for a part that is not UTF-8, naming which.
    static SettingsPath parse(std::string_view text);

    /// `part` as an array index: decimal digits only, within the signed 64-bit range; none
    /// otherwise.
    static std::optional<std::int64_t> index(std::string_view part);

    const std::vector<std::string>& parts() const { return parts_; }
    bool isRoot() const { return parts_.empty(); }
    /// The last part; only for a path below the root.
    const std::string& last() const { return parts_.back(); }
    /// The path of the first `count` parts.
    SettingsPath prefix(std::size_t count) const;
    /// The path of the container holding the value; the root's parent is the root.
    SettingsPath parent() const { return prefix(parts_.empty() ? 0 : parts_.size() - 1); }
    /// The parts joined by "/".
    std::string text() const;

  private:
    std::vector<std::string> parts_;
};

}  // namespace velkor::cli
