#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velkor/UUID.h"

namespace velkor::fleet {

/// Where fleet files live in etcd, under one prefix (by default "/velkor/"):
/// - `<prefix>files/<domain>`: the file's head, holding its root id; every change of the file
///   rewrites it, so that its modification revision is the file's last change;
/// - `<prefix>containers/<domain>/<id>`: one array or dictionary of the file.
/// "%" and "/" in a domain are written "%25" and "%2F", so that one domain's keys never fall
/// under another's.
class FleetKeys {
  public:
    explicit FleetKeys(std::string prefix) : prefix_(std::move(prefix)) {}

    const std::string& prefix() const { return prefix_; }
    std::string head(std::string_view domain) const;
    /// The prefix of every container key of `domain`.
    std::string containers(std::string_view domain) const;
    std::string container(std::string_view domain, const UUID& id) const;

    /// What a key under the prefix names: a file's head (no id) or one of its containers.
    struct Parsed {
        std::string domain;
        std::optional<UUID> container;
    };
    /// None for a key that is not one of ours.
    std::optional<Parsed> parse(std::string_view key) const;

  private:
    std::string prefix_;
};

}  // namespace velkor::fleet
