#include "SettingsPath.h"

#include <algorithm>
#include <charconv>

#include "CommandError.h"
#include "basalt/Utf8.h"

namespace velkor::cli {

SettingsPath SettingsPath::parse(std::string_view text) {
    SettingsPath path;
    const auto first = text.find_first_not_of('/');
    if (first == std::string_view::npos)
        return path;
    const auto end = text.find_last_not_of('/') + 1;
    std::size_t start = first;
    for (;;) {
        const auto slash = std::min(text.find('/', start), end);
        if (slash == start) {
            throw CommandError::badInput("bad path \"" + std::string(text) +
                                         "\": empty part at byte " + std::to_string(start) +
                                         " (parts are separated by a single \"/\")");
        }
        const auto part = text.substr(start, slash - start);
        // Keys are text: the daemon would refuse the request without saying which part.
        if (!basalt::isUtf8(part)) {
            throw CommandError::badInput(
                "bad path: part " + std::to_string(path.parts_.size() + 1) + " is not valid UTF-8");
        }
        path.parts_.emplace_back(part);
        if (slash == end)
            return path;
        start = slash + 1;
    }
}

std::optional<std::int64_t> SettingsPath::index(std::string_view part) {
    if (part.empty() ||
        !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (error != std::errc() || end != part.data() + part.size())
        return std::nullopt;
    return value;
}

SettingsPath SettingsPath::prefix(std::size_t count) const {
    SettingsPath path;
    path.parts_.assign(parts_.begin(), parts_.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(count, parts_.size())));
    return path;
}

std::string SettingsPath::text() const {
    std::string joined;
    for (const auto& part : parts_) {
        if (!joined.empty())
            joined.push_back('/');
        joined.append(part);
    }
    return joined;
}

}  // namespace velkor::cli
