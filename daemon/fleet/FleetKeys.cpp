#include "fleet/FleetKeys.h"

namespace velkor::fleet {

namespace {

constexpr std::string_view kFiles = "files/";
constexpr std::string_view kContainers = "containers/";

std::string escape(std::string_view domain) {
    std::string out;
    out.reserve(domain.size());
    for (char c : domain) {
        if (c == '%')
            out += "%25";
        else if (c == '/')
            out += "%2F";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '/')
            return std::nullopt;
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const auto code = text.substr(i + 1, 2);
        if (code == "25")
            out += '%';
        else if (code == "2F")
            out += '/';
        else
            return std::nullopt;
        i += 2;
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

}  // namespace

std::string FleetKeys::head(std::string_view domain) const {
    return prefix_ + std::string(kFiles) + escape(domain);
}

std::string FleetKeys::containers(std::string_view domain) const {
    return prefix_ + std::string(kContainers) + escape(domain) + "/";
}

std::string FleetKeys::container(std::string_view domain, const UUID& id) const {
    return containers(domain) + id.description();
}

std::optional<FleetKeys::Parsed> FleetKeys::parse(std::string_view key) const {
    if (!key.starts_with(prefix_))
        return std::nullopt;
    key.remove_prefix(prefix_.size());
    if (key.starts_with(kFiles)) {
        auto domain = unescape(key.substr(kFiles.size()));
        if (!domain)
            return std::nullopt;
        return Parsed{std::move(*domain), std::nullopt};
    }
    if (!key.starts_with(kContainers))
        return std::nullopt;
    key.remove_prefix(kContainers.size());
    const auto slash = key.rfind('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    auto domain = unescape(key.substr(0, slash));
    auto id = UUID::parse(key.substr(slash + 1));
    // Only the form velkord writes: another spelling of the same id would name it twice.
    if (!domain || !id || id->description() != key.substr(slash + 1))
        return std::nullopt;
    return Parsed{std::move(*domain), *id};
}

}  // namespace velkor::fleet
