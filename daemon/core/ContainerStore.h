#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ChangeSet.h"
#include "core/Database.h"
#include "core/IncomingTree.h"
#include "core/StoredItem.h"
#include "core/ValueKind.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// A settings file: who owns it, its domain and its root container.
struct FileRecord {
    std::uint32_t user = 0;
    std::string domain;
    UUID root;
};

/// An array or dictionary as stored.
struct ContainerRecord {
    UUID id;
    UUID root;
    ValueKind kind = ValueKind::dictionary;
    std::int64_t revision = 0;
};

/// The settings files, containers and items kept on disk (see `StoreSchema`), read and changed
/// inside the transaction of the request at hand. Failures of the database throw
/// `DatabaseError`; stored rows that make no sense throw `VKError(invalidFileData)`.
class ContainerStore {
  public:
    /// Defines on `db` the switch of the per-row size triggers (see `StoreSchema`), so it must
    /// be made before the schema is applied.
    explicit ContainerStore(Database& db);

    std::optional<FileRecord> file(std::uint32_t user, std::string_view domain);
    std::optional<FileRecord> fileWithRoot(const UUID& root);
    void addFile(const FileRecord& file);
    /// Removes the file with every container and item under its root.
    void removeFile(const FileRecord& file);

    /// The size of a file as `StoredSize` counts it, and its number of containers.
    struct FileSize {
        std::int64_t bytes = 0;
        std::int64_t containers = 0;
    };
    /// The size of the file with root `root` as it stands in the open transaction. Counted from
    /// its rows on first use, then kept up to date.
    FileSize fileSize(const UUID& root);
    /// What the files of one user hold together.
    struct UserTotals {
        std::int64_t bytes = 0;  // as `fileSize` counts each
        std::int64_t files = 0;
    };
    /// The totals of the files of `user` in the open transaction. Counted from its files on
    /// first use, then kept up to date.
    UserTotals userTotals(std::uint32_t user);

    std::optional<ContainerRecord> container(const UUID& id);
    bool exists(const UUID& id);
    /// Stores every container that `tree` wrote in full, with its items, under root `root`.
    void addContainers(const IncomingTree& tree, const UUID& root);
    void setRevision(const UUID& id, std::int64_t revision);
    /// Removes a container and its items; gives the children its items referenced.
    std::vector<UUID> removeContainer(const UUID& id);

    /// The items of a container, in key order (dictionary) or index order (array).
    std::vector<StoredItem> items(const UUID& container);

    /// Every container of the file with root `root`, with its items as `items` gives them: what
    /// a recursive fetch of the whole file reads, in two statements instead of two per
    /// container.
    struct FileContents {
        std::unordered_map<UUID, ContainerRecord> containers;
        std::unordered_map<UUID, std::vector<StoredItem>> items;
    };
    FileContents fileContents(const UUID& root);
    /// The key of `dictionary` that is `key` or canonically equivalent to it (a key keeps the
    /// form it was first written in), or `key` itself when there is none.
    std::string storedKey(const UUID& dictionary, std::string_view key);
    /// The item under `key` (dictionary) or at `slot` (array), if there is one.
    std::optional<StoredItem> item(const UUID& container, std::string_view key, std::int64_t slot);
    /// The number of items of an array.
    std::int64_t arrayCount(const UUID& array);
    bool isEmpty(const UUID& container);
    /// Stores `value` under `key` / at `slot`, replacing what was there. A container written in
    /// full is stored as a reference to it; `addContainers` stores the container itself.
    void putItem(const UUID& container, std::string_view key, std::int64_t slot,
                 const IncomingValue& value);
    void removeItem(const UUID& container, std::string_view key, std::int64_t slot);
    /// Removes every item of a container; gives the children they referenced.
    std::vector<UUID> removeAllItems(const UUID& container);

    /// Array slots: makes room at `index` by moving the items from there on up by one.
    void openSlot(const UUID& array, std::int64_t index);
    /// Array slots: closes the gap at `index` by moving the items after it down by one.
    void closeSlot(const UUID& array, std::int64_t index);
    /// Array slots: moves the item at `from` to `to`, the items between shifting by one.
    void moveSlot(const UUID& array, std::int64_t from, std::int64_t to);

    bool hasParent(const UUID& id);
    /// Every container holding a reference to `id`, once each.
    std::vector<UUID> parentsOf(const UUID& id);
    /// The path of a container in its file: dictionary keys and decimal array indexes joined by
    /// "/", empty for the root. A container held by several parents is given the path through
    /// the first parent in id order; one that no parent holds has the empty path.
    std::string pathOf(const UUID& id, const UUID& root);
    /// The paths of many containers, each given with its file's root, as `pathOf` gives them;
    /// every container on the way is looked up once, and a path longer than `maxBytes` is given
    /// as "", like one no parent holds.
    std::vector<std::string> pathsOf(std::span<const std::pair<UUID, UUID>> containers,
                                     std::size_t maxBytes);

    /// What was changed since `forgetChanges` was last called: the containers and files that
    /// every write above touched.
    const ChangeSet& changes() const { return changes_; }
    void forgetChanges() { changes_.clear(); }

  private:
    // The container that holds `id` (the first in id order) and the key or index it holds it at.
    std::optional<std::pair<UUID, std::string>> parentLink(const UUID& id);
    // Records `key` of `dictionary` in key_forms when it is not in canonical form.
    void noteKeyForm(const UUID& dictionary, std::string_view key);
    // Fills key_forms for `dictionary` once.
    void readKeyForms(const UUID& dictionary);
    void shiftSlots(const UUID& array, std::int64_t first, std::int64_t last, std::int64_t delta);
    void settleSlots(const UUID& array);

    Database& db_;
    ChangeSet changes_;
    // Whether the triggers keep file sizes row by row; off while whole files are written or
    // removed, which count their size at once.
    bool sizesPerRow_ = true;
};

}  // namespace velkor::daemon
