#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/IncomingTree.h"
#include "core/NoticeList.h"
#include "core/SettingsStore.h"
#include "core/StoredItem.h"
#include "fleet/EtcdTypes.h"
#include "fleet/FleetKeys.h"

namespace velkor::fleet {

/// Brings the fleet's local copy to what etcd holds, inside a transaction of the copy: whole
/// files as a range read them, or the changes of one revision as the watch delivered them.
/// Every client holding a dictionary whose values changed is told each changed key as it is
/// told this machine's own changes (one record per revision), and keeps holding it. Where that
/// cannot be told so (an array, a child container added, replaced or removed, a container
/// removed or replaced by another kind), the holder is told `containerAbandoned` (and stops
/// holding it), and fetches it anew. So is the holder of a dictionary in a file read whole whose
/// several keys changed: the read gives no order of their changes, and the holder takes the
/// content fetched anew at once, rather than hear of its keys in an order they were not changed
/// in. Every client holding any container of a file that went is told `settingsDeleted`. Values
/// that do not decode are left out and logged: another machine's damage never stops this one.
class FleetCopy {
  public:
    FleetCopy(daemon::SettingsStore::Parts& parts, const FleetKeys& keys,
              daemon::NoticeList& notices)
        : parts_(parts), keys_(keys), notices_(notices) {}

    /// Makes the copy of `domain` what etcd holds: `head` (none: no such file) and the
    /// containers under the file's prefix.
    void replaceFile(const std::string& domain, const std::optional<EtcdKeyValue>& head,
                     std::span<const EtcdKeyValue> containers);

    /// Applies the events of one file at one revision (puts and removals of its head and
    /// containers). Skipped when the copy already holds that revision of the file. False when
    /// the events cannot be applied on their own (the copy lacks the file they change), so that
    /// the file must be read afresh.
    bool applyRevision(const std::string& domain, std::int64_t revision,
                       std::span<const EtcdEvent> events);

    /// Whether ids of the fleet's containers went (a file was removed), so that an index of
    /// them must be read afresh.
    bool removedFiles() const { return removedFiles_; }
    /// Containers added or changed.
    const std::unordered_set<UUID>& added() const { return added_; }

    /// A key of a dictionary whose item changed: what it held before and holds now (none when
    /// it was added or removed).
    struct KeyChange {
        std::string_view key;
        const daemon::StoredItem* before = nullptr;
        const daemon::IncomingValue* after = nullptr;
    };

  private:
    void removeFile(const daemon::FileRecord& file);
    /// Replaces or adds the container a value holds; false when it does not decode. `read`:
    /// the value comes from a file read whole, which may hold several revisions' changes.
    bool putContainer(const EtcdKeyValue& kv, const UUID& id, const UUID& root, bool read);
    void removeContainer(const UUID& id);
    /// Tells the holders of a dictionary that changed from `before` to the container `tree`
    /// holds what happened to each key of `changes`; false when that cannot be told record by
    /// record, so that the holders are to fetch it anew.
    bool tellChanges(const daemon::ContainerRecord& before, const daemon::IncomingTree& tree,
                     std::span<const KeyChange> changes, bool read);
    /// Tells the holders of the container `id` of the file whose root is `root` to fetch it
    /// anew, with its path, and lets them stop holding it.
    void abandon(const UUID& id, const UUID& root, std::int64_t revision);

    daemon::SettingsStore::Parts& parts_;
    const FleetKeys& keys_;
    daemon::NoticeList& notices_;
    bool removedFiles_ = false;
    std::unordered_set<UUID> added_;
};

}  // namespace velkor::fleet
