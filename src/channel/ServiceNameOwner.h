#pragma once

#include <string>
#include <string_view>

namespace velkor {

/// Follows who owns the daemon's service name, from the bus's NameOwnerChanged announcements,
/// so that the transport accepts answers only from the current owner and notices when the
/// daemon goes away.
///
/// Start it with the owner the bus reported after the announcements were subscribed to; the
/// announcements queued before that answer may be stale, and are told apart by their old
/// owner: only a change away from the owner we know ends it. Not thread-safe: the transport
/// uses it on its event-loop thread only.
class ServiceNameOwner {
  public:
    /// What an announcement meant.
    enum class Change {
        none,      ///< stale, or about an owner we did not know
        acquired,  ///< the name had no owner and gained one (e.g. the bus started the daemon)
        lost,      ///< the owner we knew released the name or was replaced
    };

    /// `owner` is the unique name of the current owner, empty when the name has none.
    explicit ServiceNameOwner(std::string owner = {}) : owner_(std::move(owner)) {}

    /// Applies one announcement (owners as unique names, empty for none).
    Change apply(std::string_view oldOwner, std::string_view newOwner);

    /// Whether `sender` (a unique name) owns the service name now.
    bool isOwner(std::string_view sender) const { return !owner_.empty() && sender == owner_; }

    const std::string& owner() const { return owner_; }

  private:
    std::string owner_;
    /// Once the known owner is gone, the name is never taken as owned again: a transport does
    /// not follow a restarted daemon, the connection monitor builds a new one.
    bool lost_ = false;
};

}  // namespace velkor
