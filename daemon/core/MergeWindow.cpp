#include "core/MergeWindow.h"

#include <functional>
#include <optional>
#include <string>

namespace velkor::daemon {

namespace {

struct Window {
    std::int64_t since;
    std::int64_t keys;
};

std::optional<Window> window(Database& db, const UUID& dictionary) {
    auto q = db.query("SELECT since, keys FROM merge_windows WHERE container = ?");
    q->bind(1, dictionary);
    if (!q->step()) {
        return std::nullopt;
    }
    return Window{q->integer(0), q->integer(1)};
}

// Keys are recorded by a hash, so that a window's memory does not grow with its keys' length.
// Keys that share a hash share a record: a change to one of them then counts for the others, which
// can only turn a merge into a conflict, never the other way.
std::int64_t keyHash(std::string_view key) {
    return static_cast<std::int64_t>(std::hash<std::string_view>{}(key));
}

struct KeyChange {
    std::int64_t revision;
    std::string writer;
    std::int64_t otherRevision;
};

std::optional<KeyChange> keyChange(Database& db, const UUID& dictionary, std::string_view key) {
    auto q = db.query(
        "SELECT revision, writer, other_revision FROM key_changes "
        "WHERE container = ? AND key_hash = ?");
    q->bind(1, dictionary);
    q->bind(2, keyHash(key));
    if (!q->step()) {
        return std::nullopt;
    }
    return KeyChange{q->integer(0), std::string(q->text(1)), q->integer(2)};
}

void forgetKeys(Database& db, const UUID& dictionary) {
    auto q = db.query("DELETE FROM key_changes WHERE container = ?");
    q->bind(1, dictionary);
    q->run();
}

}  // namespace

bool MergeWindow::mayMerge(const UUID& dictionary, std::string_view key, std::string_view writer,
                           std::int64_t revision) {
    const auto w = window(db_, dictionary);
    if (!w || revision < w->since) {
        return false;
    }
    const auto change = keyChange(db_, dictionary, key);
    if (!change) {
        return true;
    }
    const auto lastByOthers = change->writer == writer ? change->otherRevision : change->revision;
    return lastByOthers <= revision;
}

void MergeWindow::recordKeyChange(const UUID& dictionary, std::string_view key,
                                  std::string_view writer, std::int64_t oldRevision,
                                  std::int64_t newRevision) {
    auto w = window(db_, dictionary);
    if (!w) {
        restart(dictionary, oldRevision);
        w = Window{oldRevision, 0};
    }
    const auto change = keyChange(db_, dictionary, key);
    if (!change && w->keys >= maxKeys) {
        restart(dictionary, newRevision);
        return;
    }
    if (!change) {
        {
            auto q = db_.query(
                "INSERT INTO key_changes(container, key_hash, revision, writer, other_revision) "
                "VALUES(?, ?, ?, ?, ?)");
            q->bind(1, dictionary);
            q->bind(2, keyHash(key));
            q->bind(3, newRevision);
            q->bind(4, writer);
            q->bind(5, w->since);
            q->run();
        }
        {
            auto q = db_.query(
                "UPDATE merge_windows SET keys = keys + 1, touched = ? WHERE container = ?");
            q->bind(1, ++touches_);
            q->bind(2, dictionary);
            q->run();
        }
        keepWithinBound(dictionary);
        return;
    }
    touch(dictionary);
    // Whoever changed the key before, if it was not this writer, becomes the last other writer.
    const auto otherRevision = change->writer == writer ? change->otherRevision : change->revision;
    auto q = db_.query(
        "UPDATE key_changes SET revision = ?, writer = ?, other_revision = ? "
        "WHERE container = ? AND key_hash = ?");
    q->bind(1, newRevision);
    q->bind(2, writer);
    q->bind(3, otherRevision);
    q->bind(4, dictionary);
    q->bind(5, keyHash(key));
    q->run();
}

void MergeWindow::restart(const UUID& dictionary, std::int64_t revision) {
    forgetKeys(db_, dictionary);
    auto q = db_.query(
        "INSERT OR REPLACE INTO merge_windows(container, since, keys, touched) VALUES(?, ?, 0, ?)");
    q->bind(1, dictionary);
    q->bind(2, revision);
    q->bind(3, ++touches_);
    q->run();
}

void MergeWindow::touch(const UUID& dictionary) {
    auto q = db_.query("UPDATE merge_windows SET touched = ? WHERE container = ?");
    q->bind(1, ++touches_);
    q->bind(2, dictionary);
    q->run();
}

void MergeWindow::keepWithinBound(const UUID& kept) {
    for (;;) {
        {
            auto q = db_.query("SELECT total FROM merge_keys");
            if (!q->step() || q->integer(0) <= maxKeysInAll_) {
                return;
            }
        }
        std::optional<UUID> oldest;
        {
            auto q = db_.query(
                "SELECT container FROM merge_windows WHERE container <> ? ORDER BY touched LIMIT "
                "1");
            q->bind(1, kept);
            if (!q->step()) {
                return;
            }
            oldest = q->uuid(0);
        }
        if (!oldest) {
            return;
        }
        // Without a window, the dictionary's next change starts one afresh: changes made
        // against revisions before it are conflicts, which is always safe.
        forgetContainer(*oldest);
    }
}

void MergeWindow::forgetContainer(const UUID& container) {
    forgetKeys(db_, container);
    auto q = db_.query("DELETE FROM merge_windows WHERE container = ?");
    q->bind(1, container);
    q->run();
}

void MergeWindow::forgetFile(const UUID& root) {
    {
        auto q = db_.query(
            "DELETE FROM key_changes WHERE container IN "
            "(SELECT id FROM main.containers WHERE root = ?)");
        q->bind(1, root);
        q->run();
    }
    auto q = db_.query(
        "DELETE FROM merge_windows WHERE container IN "
        "(SELECT id FROM main.containers WHERE root = ?)");
    q->bind(1, root);
    q->run();
}

}  // namespace velkor::daemon
