#include "core/ContainerStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "core/StoredSize.h"
#include "internals/CanonicalText.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

// Clears a switch for its lifetime, and sets it again however the scope ends.
class SwitchedOff {
  public:
    explicit SwitchedOff(bool& on) : on_(on) { on_ = false; }
    ~SwitchedOff() { on_ = true; }
    SwitchedOff(const SwitchedOff&) = delete;
    SwitchedOff& operator=(const SwitchedOff&) = delete;

  private:
    bool& on_;
};

[[noreturn]] void damaged() {
    throw VKError(VKError::invalidFileData);
}

// The value column of an item row as the kind column says it must be.
StoredItem readItem(const Statement& s, int first) {
    StoredItem item;
    item.key = std::string(s.text(first));
    item.slot = s.integer(first + 1);
    const auto kind = s.integer(first + 2);
    const int value = first + 3;
    switch (kind) {
        case static_cast<std::int64_t>(ValueKind::number):
            if (s.type(value) != SQLITE_INTEGER) {
                damaged();
            }
            item.kind = ValueKind::number;
            item.number = s.integer(value);
            break;
        case static_cast<std::int64_t>(ValueKind::string):
            if (s.type(value) != SQLITE_TEXT) {
                damaged();
            }
            item.kind = ValueKind::string;
            item.payload = std::string(s.text(value));
            break;
        case static_cast<std::int64_t>(ValueKind::data): {
            if (s.type(value) != SQLITE_BLOB) {
                damaged();
            }
            item.kind = ValueKind::data;
            const auto bytes = s.bytes(value);
            item.payload.assign(bytes.begin(), bytes.end());
            break;
        }
        case static_cast<std::int64_t>(ValueKind::containerProxy): {
            auto child = s.uuid(value);
            if (!child) {
                damaged();
            }
            item.kind = ValueKind::containerProxy;
            item.child = *child;
            break;
        }
        default:
            damaged();
    }
    return item;
}

UUID readUuid(const Statement& s, int column) {
    auto id = s.uuid(column);
    if (!id) {
        damaged();
    }
    return *id;
}

ValueKind readContainerKind(const Statement& s, int column) {
    const auto kind = s.integer(column);
    if (kind != static_cast<std::int64_t>(ValueKind::array) &&
        kind != static_cast<std::int64_t>(ValueKind::dictionary)) {
        damaged();
    }
    return static_cast<ValueKind>(kind);
}

// Binds kind and value of an item at parameters `first` and `first + 1`.
void bindValue(Statement& s, int first, const IncomingValue& v) {
    switch (v.kind) {
        case ValueKind::number:
            s.bind(first, static_cast<std::int64_t>(ValueKind::number));
            s.bind(first + 1, v.number);
            break;
        case ValueKind::string:
            s.bind(first, static_cast<std::int64_t>(ValueKind::string));
            s.bind(first + 1, v.text());
            break;
        case ValueKind::data:
            s.bind(first, static_cast<std::int64_t>(ValueKind::data));
            s.bind(first + 1, v.bytes);
            break;
        case ValueKind::array:
        case ValueKind::dictionary:
        case ValueKind::containerProxy:
            s.bind(first, static_cast<std::int64_t>(ValueKind::containerProxy));
            s.bind(first + 1, v.id);
            break;
    }
}

std::vector<UUID> childrenOf(Database& db, const UUID& container) {
    std::vector<UUID> children;
    auto q = db.query("SELECT value FROM items WHERE container = ? AND kind = 5");
    q->bind(1, container);
    while (q->step()) {
        children.push_back(readUuid(*q, 0));
    }
    return children;
}

}  // namespace

std::optional<FileRecord> ContainerStore::file(std::uint32_t user, std::string_view domain) {
    auto q = db_.query("SELECT root FROM files WHERE user = ? AND domain = ?");
    q->bind(1, static_cast<std::int64_t>(user));
    q->bind(2, domain);
    if (!q->step()) {
        return std::nullopt;
    }
    return FileRecord{user, std::string(domain), readUuid(*q, 0)};
}

std::optional<FileRecord> ContainerStore::fileWithRoot(const UUID& root) {
    auto q = db_.query("SELECT user, domain FROM files WHERE root = ?");
    q->bind(1, root);
    if (!q->step()) {
        return std::nullopt;
    }
    return FileRecord{static_cast<std::uint32_t>(q->integer(0)), std::string(q->text(1)), root};
}

ContainerStore::ContainerStore(Database& db) : db_(db) {
    db_.defineFlag("sizes_per_row", &sizesPerRow_);
}

void ContainerStore::addFile(const FileRecord& file) {
    auto q = db_.query("INSERT INTO files(user, domain, root) VALUES(?, ?, ?)");
    q->bind(1, static_cast<std::int64_t>(file.user));
    q->bind(2, file.domain);
    q->bind(3, file.root);
    q->run();
    changes_.filesAdded.push_back(file.root);
}

void ContainerStore::removeFile(const FileRecord& file) {
    for (const char* table : {"key_forms", "key_forms_read"}) {
        auto q = db_.query(std::string("DELETE FROM ") + table +
                           " WHERE container IN (SELECT id FROM containers WHERE root = ?)");
        q->bind(1, file.root);
        q->run();
    }
    {
        // The file's size goes with its row in files.
        const SwitchedOff perRow(sizesPerRow_);
        {
            auto q = db_.query(
                "DELETE FROM items WHERE container IN (SELECT id FROM containers WHERE root = ?)");
            q->bind(1, file.root);
            q->run();
        }
        auto q = db_.query("DELETE FROM containers WHERE root = ?");
        q->bind(1, file.root);
        q->run();
    }
    auto q = db_.query("DELETE FROM files WHERE root = ?");
    q->bind(1, file.root);
    q->run();
    changes_.filesRemoved.push_back(file.root);
}

ContainerStore::FileSize ContainerStore::fileSize(const UUID& root) {
    {
        auto q = db_.query("SELECT bytes, containers FROM file_sizes WHERE root = ?");
        q->bind(1, root);
        if (q->step()) {
            return FileSize{q->integer(0), q->integer(1)};
        }
    }
    auto q = db_.query(
        "INSERT INTO file_sizes(root, user, bytes, containers) SELECT ?1, "
        "(SELECT user FROM files WHERE root = ?1), "
        "(SELECT 64 * count(*) FROM containers WHERE root = ?1) + "
        "(SELECT coalesce(sum(40 + length(CAST(i.key AS BLOB)) + "
        "CASE i.kind WHEN 1 THEN length(CAST(i.value AS BLOB)) WHEN 2 THEN length(i.value) "
        "ELSE 0 END), 0) "
        "FROM containers AS c JOIN items AS i ON i.container = c.id WHERE c.root = ?1), "
        "(SELECT count(*) FROM containers WHERE root = ?1) "
        "RETURNING bytes, containers");
    q->bind(1, root);
    if (!q->step()) {
        damaged();
    }
    return FileSize{q->integer(0), q->integer(1)};
}

ContainerStore::UserTotals ContainerStore::userTotals(std::uint32_t user) {
    {
        auto q = db_.query("SELECT bytes, files FROM user_sizes WHERE user = ?");
        q->bind(1, static_cast<std::int64_t>(user));
        if (q->step()) {
            return UserTotals{q->integer(0), q->integer(1)};
        }
    }
    // Every file of the user counted first; from then on the triggers keep the total.
    std::vector<UUID> uncounted;
    {
        auto q = db_.query(
            "SELECT root FROM files WHERE user = ? AND root NOT IN (SELECT root FROM file_sizes)");
        q->bind(1, static_cast<std::int64_t>(user));
        while (q->step()) {
            uncounted.push_back(readUuid(*q, 0));
        }
    }
    for (const auto& root : uncounted) {
        fileSize(root);
    }
    auto q = db_.query(
        "INSERT INTO user_sizes(user, bytes, files) "
        "SELECT ?1, coalesce(sum(bytes), 0), count(*) FROM file_sizes WHERE user = ?1 "
        "RETURNING bytes, files");
    q->bind(1, static_cast<std::int64_t>(user));
    if (!q->step()) {
        damaged();
    }
    return UserTotals{q->integer(0), q->integer(1)};
}

std::optional<ContainerRecord> ContainerStore::container(const UUID& id) {
    auto q = db_.query("SELECT root, kind, revision FROM containers WHERE id = ?");
    q->bind(1, id);
    if (!q->step()) {
        return std::nullopt;
    }
    const Statement& s = *q;
    return ContainerRecord{id, readUuid(s, 0), readContainerKind(s, 1), s.integer(2)};
}

bool ContainerStore::exists(const UUID& id) {
    auto q = db_.query("SELECT 1 FROM containers WHERE id = ?");
    q->bind(1, id);
    return q->step();
}

void ContainerStore::addContainers(const IncomingTree& tree, const UUID& root) {
    // In id order, the new rows land next to each other in the tables' b-trees.
    std::vector<const IncomingContainer*> ordered;
    ordered.reserve(tree.containers.size());
    for (const auto& c : tree.containers) {
        ordered.push_back(&c);
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const auto* a, const auto* b) { return a->id < b->id; });
    // Counted at once, the size is added to the file's in one statement.
    {
        const SwitchedOff perRow(sizesPerRow_);
        for (const auto* c : ordered) {
            {
                auto q = db_.query(
                    "INSERT INTO containers(id, root, kind, revision) VALUES(?, ?, ?, ?)");
                q->bind(1, c->id);
                q->bind(2, root);
                q->bind(3, static_cast<std::int64_t>(c->kind));
                q->bind(4, c->revision);
                q->run();
            }
            changes_.write(c->id);
            for (std::size_t i = 0; i < c->values.size(); ++i) {
                if (c->kind == ValueKind::dictionary) {
                    putItem(c->id, c->keys[i], 0, c->values[i]);
                } else {
                    putItem(c->id, {}, static_cast<std::int64_t>(i), c->values[i]);
                }
            }
        }
    }
    auto q = db_.query(
        "UPDATE file_sizes SET bytes = bytes + ?, containers = containers + ? WHERE root = ?");
    q->bind(1, static_cast<std::int64_t>(StoredSize::of(tree)));
    q->bind(2, static_cast<std::int64_t>(tree.containers.size()));
    q->bind(3, root);
    q->run();
}

void ContainerStore::setRevision(const UUID& id, std::int64_t revision) {
    auto q = db_.query("UPDATE containers SET revision = ? WHERE id = ?");
    q->bind(1, revision);
    q->bind(2, id);
    q->run();
    changes_.write(id);
}

std::vector<UUID> ContainerStore::removeContainer(const UUID& id) {
    auto children = removeAllItems(id);
    auto q = db_.query("DELETE FROM containers WHERE id = ?");
    q->bind(1, id);
    q->run();
    changes_.remove(id);
    return children;
}

std::vector<StoredItem> ContainerStore::items(const UUID& container) {
    std::vector<StoredItem> items;
    auto q = db_.query(
        "SELECT key, slot, kind, value FROM items WHERE container = ? ORDER BY key, slot");
    q->bind(1, container);
    while (q->step()) {
        items.push_back(readItem(*q, 0));
    }
    return items;
}

ContainerStore::FileContents ContainerStore::fileContents(const UUID& root) {
    FileContents contents;
    {
        auto q = db_.query("SELECT id, kind, revision FROM containers WHERE root = ?");
        q->bind(1, root);
        while (q->step()) {
            const Statement& s = *q;
            const UUID id = readUuid(s, 0);
            contents.containers.emplace(
                id, ContainerRecord{id, root, readContainerKind(s, 1), s.integer(2)});
        }
    }
    // No ORDER BY: SQLite would sort every row in a temporary tree. Each container's items come
    // from its key index, so in order; they are sorted below only should that ever change.
    auto q = db_.query(
        "SELECT i.container, i.key, i.slot, i.kind, i.value FROM containers AS c "
        "JOIN items AS i ON i.container = c.id WHERE c.root = ?");
    q->bind(1, root);
    std::vector<StoredItem>* items = nullptr;
    UUID current;
    while (q->step()) {
        const UUID container = readUuid(*q, 0);
        if (!items || container != current) {
            current = container;
            items = &contents.items[container];
        }
        items->push_back(readItem(*q, 1));
    }
    auto before = [](const StoredItem& a, const StoredItem& b) {
        return std::tie(a.key, a.slot) < std::tie(b.key, b.slot);
    };
    for (auto& [container, list] : contents.items)
        if (!std::is_sorted(list.begin(), list.end(), before))
            std::sort(list.begin(), list.end(), before);
    return contents;
}

std::optional<StoredItem> ContainerStore::item(const UUID& container, std::string_view key,
                                               std::int64_t slot) {
    auto q = db_.query(
        "SELECT key, slot, kind, value FROM items WHERE container = ? AND key = ? AND slot = ?");
    q->bind(1, container);
    q->bind(2, key);
    q->bind(3, slot);
    if (!q->step()) {
        return std::nullopt;
    }
    return readItem(*q, 0);
}

// Keys in another form than their canonical one are few (ASCII keys are all canonical), so they
// are found through the in-memory table key_forms, filled for a dictionary the first time one of
// its keys is looked for in vain. It lives in the request's transaction like the items.
std::string ContainerStore::storedKey(const UUID& dictionary, std::string_view key) {
    auto exists = [&](std::string_view k) {
        auto q = db_.query("SELECT 1 FROM items WHERE container = ? AND key = ? AND slot = 0");
        q->bind(1, dictionary);
        q->bind(2, k);
        return q->step();
    };
    if (exists(key)) {
        return std::string(key);
    }
    readKeyForms(dictionary);
    const std::string canonical = canonicalText(key);
    auto q = db_.query("SELECT key FROM key_forms WHERE container = ? AND canonical = ?");
    q->bind(1, dictionary);
    q->bind(2, canonical);
    if (q->step()) {
        std::string stored(q->text(0));
        if (exists(stored)) {
            return stored;
        }
    }
    if (canonical != key && exists(canonical)) {
        return canonical;
    }
    return std::string(key);
}

void ContainerStore::readKeyForms(const UUID& dictionary) {
    {
        auto q = db_.query("SELECT 1 FROM key_forms_read WHERE container = ?");
        q->bind(1, dictionary);
        if (q->step()) {
            return;  // read before
        }
    }
    {
        auto q = db_.query("INSERT INTO key_forms_read(container) VALUES(?)");
        q->bind(1, dictionary);
        q->run();
    }
    auto q = db_.query("SELECT key FROM items WHERE container = ? AND slot = 0");
    q->bind(1, dictionary);
    while (q->step()) {
        noteKeyForm(dictionary, q->text(0));
    }
}

void ContainerStore::noteKeyForm(const UUID& dictionary, std::string_view key) {
    if (isAsciiText(key)) {
        return;
    }
    const std::string canonical = canonicalText(key);
    if (canonical == key) {
        return;
    }
    auto q =
        db_.query("INSERT OR REPLACE INTO key_forms(container, canonical, key) VALUES(?, ?, ?)");
    q->bind(1, dictionary);
    q->bind(2, canonical);
    q->bind(3, key);
    q->run();
}

std::int64_t ContainerStore::arrayCount(const UUID& array) {
    auto q = db_.query("SELECT max(slot) FROM items WHERE container = ? AND key = ''");
    q->bind(1, array);
    if (!q->step() || q->type(0) == SQLITE_NULL) {
        return 0;
    }
    return q->integer(0) + 1;
}

bool ContainerStore::isEmpty(const UUID& container) {
    auto q = db_.query("SELECT 1 FROM items WHERE container = ? LIMIT 1");
    q->bind(1, container);
    return !q->step();
}

void ContainerStore::putItem(const UUID& container, std::string_view key, std::int64_t slot,
                             const IncomingValue& value) {
    // An upsert changes a replaced item's row in place: the key index is left alone, so a
    // commit that replaces one value writes one page less than a delete and insert would.
    auto q = db_.query(
        "INSERT INTO items(container, key, slot, kind, value) VALUES(?, ?, ?, ?, ?) "
        "ON CONFLICT(container, key, slot) DO UPDATE SET kind = excluded.kind, value = "
        "excluded.value");
    q->bind(1, container);
    q->bind(2, key);
    q->bind(3, slot);
    bindValue(*q, 4, value);
    q->run();
    changes_.write(container);
    if (!key.empty()) {
        noteKeyForm(container, key);
    }
}

void ContainerStore::removeItem(const UUID& container, std::string_view key, std::int64_t slot) {
    auto q = db_.query("DELETE FROM items WHERE container = ? AND key = ? AND slot = ?");
    q->bind(1, container);
    q->bind(2, key);
    q->bind(3, slot);
    q->run();
    changes_.write(container);
}

std::vector<UUID> ContainerStore::removeAllItems(const UUID& container) {
    auto children = childrenOf(db_, container);
    // The keys' other forms go with the keys (read again should the dictionary be searched).
    for (const char* table : {"items", "key_forms", "key_forms_read"}) {
        auto q = db_.query(std::string("DELETE FROM ") + table + " WHERE container = ?");
        q->bind(1, container);
        q->run();
    }
    changes_.write(container);
    return children;
}

// Slots are part of the key of the items table, so renumbering a range in place could collide
// with rows not yet renumbered. Each range is first moved to negative slots (slot s becomes
// -(s + delta) - 1, all distinct and all below zero), then `settleSlots` turns them back.
void ContainerStore::shiftSlots(const UUID& array, std::int64_t first, std::int64_t last,
                                std::int64_t delta) {
    auto q = db_.query(
        "UPDATE items SET slot = -(slot + ?) - 1 "
        "WHERE container = ? AND key = '' AND slot BETWEEN ? AND ?");
    q->bind(1, delta);
    q->bind(2, array);
    q->bind(3, first);
    q->bind(4, last);
    q->run();
    changes_.write(array);
}

void ContainerStore::settleSlots(const UUID& array) {
    auto q = db_.query(
        "UPDATE items SET slot = -slot - 1 WHERE container = ? AND key = '' "
        "AND slot < 0");
    q->bind(1, array);
    q->run();
}

void ContainerStore::openSlot(const UUID& array, std::int64_t index) {
    shiftSlots(array, index, std::numeric_limits<std::int64_t>::max() - 1, 1);
    settleSlots(array);
}

void ContainerStore::closeSlot(const UUID& array, std::int64_t index) {
    shiftSlots(array, index + 1, std::numeric_limits<std::int64_t>::max() - 1, -1);
    settleSlots(array);
}

void ContainerStore::moveSlot(const UUID& array, std::int64_t from, std::int64_t to) {
    shiftSlots(array, from, from, to - from);
    if (from < to) {
        shiftSlots(array, from + 1, to, -1);
    } else {
        shiftSlots(array, to, from - 1, 1);
    }
    settleSlots(array);
}

bool ContainerStore::hasParent(const UUID& id) {
    auto q = db_.query("SELECT 1 FROM items WHERE kind = 5 AND value = ? LIMIT 1");
    q->bind(1, id);
    return q->step();
}

std::vector<UUID> ContainerStore::parentsOf(const UUID& id) {
    std::vector<UUID> parents;
    auto q = db_.query("SELECT DISTINCT container FROM items WHERE kind = 5 AND value = ?");
    q->bind(1, id);
    while (q->step()) {
        parents.push_back(readUuid(*q, 0));
    }
    return parents;
}

std::optional<std::pair<UUID, std::string>> ContainerStore::parentLink(const UUID& id) {
    auto q = db_.query(
        "SELECT i.container, i.key, i.slot, c.kind FROM items AS i "
        "JOIN containers AS c ON c.id = i.container "
        "WHERE i.kind = 5 AND i.value = ? ORDER BY i.container, i.key, i.slot LIMIT 1");
    q->bind(1, id);
    if (!q->step()) {
        return std::nullopt;
    }
    const Statement& s = *q;
    return std::pair(readUuid(s, 0), readContainerKind(s, 3) == ValueKind::array
                                         ? std::to_string(s.integer(2))
                                         : std::string(s.text(1)));
}

std::string ContainerStore::pathOf(const UUID& id, const UUID& root) {
    const std::pair<UUID, UUID> container{id, root};
    return std::move(pathsOf({&container, 1}, SIZE_MAX).front());
}

std::vector<std::string> ContainerStore::pathsOf(std::span<const std::pair<UUID, UUID>> containers,
                                                 std::size_t maxBytes) {
    // Every container met so far with its path; none when it has no path to give.
    std::unordered_map<UUID, std::optional<std::string>> known;
    std::vector<std::string> paths;
    paths.reserve(containers.size());
    for (const auto& [id, root] : containers) {
        // Up from the container to its root, or to a container whose path is known...
        std::vector<std::pair<UUID, std::string>> chain;
        std::unordered_set<UUID> seen;
        std::optional<std::string> path;
        UUID current = id;
        bool fromRoot = false;
        while (true) {
            if (current == root) {
                path.emplace();
                fromRoot = true;
                break;
            }
            if (auto it = known.find(current); it != known.end()) {
                path = it->second;
                break;
            }
            auto link = seen.insert(current).second ? parentLink(current) : std::nullopt;
            if (!link) {
                break;
            }
            chain.emplace_back(current, std::move(link->second));
            current = link->first;
        }
        // ...and down again, giving each container on the way its path.
        for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
            if (path) {
                if (!fromRoot || step != chain.rbegin()) {
                    *path += '/';
                }
                *path += step->second;
                if (path->size() > maxBytes) {
                    path.reset();
                }
            }
            known.insert_or_assign(step->first, path);
        }
        paths.push_back(path.value_or(std::string()));
    }
    return paths;
}

}  // namespace velkor::daemon
