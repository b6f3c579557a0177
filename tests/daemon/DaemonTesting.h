#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "core/SettingsStore.h"
#include "core/ValueKind.h"
#include "internals/ChangeNotification.h"
#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"

namespace velkor::test {

using daemon::ValueKind;

inline UUID newId() {
    return UUID::random();
}

/// A value tree as a client sends it or as the daemon answers it.
struct Node {
    ValueKind kind = ValueKind::number;
    std::int64_t number = 0;
    std::string text{};  // string text or data bytes
    UUID id{};
    std::int64_t revision = 0;
    bool subscribed = false;
    std::vector<std::pair<std::string, Node>> entries{};  // keys are empty in arrays
};

inline Node num(std::int64_t v) {
    return {.kind = ValueKind::number, .number = v};
}
inline Node str(std::string s) {
    return {.kind = ValueKind::string, .text = std::move(s)};
}
inline Node dat(std::string bytes) {
    return {.kind = ValueKind::data, .text = std::move(bytes)};
}
inline Node ref(const UUID& id) {
    return {.kind = ValueKind::containerProxy, .id = id};
}
inline Node dict(const UUID& id, std::vector<std::pair<std::string, Node>> entries,
                 std::int64_t revision = 0, bool subscribed = false) {
    Node n{.kind = ValueKind::dictionary, .id = id, .revision = revision, .subscribed = subscribed};
    n.entries = std::move(entries);
    return n;
}
inline Node arr(const UUID& id, std::vector<Node> items, std::int64_t revision = 0) {
    Node n{.kind = ValueKind::array, .id = id, .revision = revision};
    for (auto& item : items)
        n.entries.emplace_back("", std::move(item));
    return n;
}
/// A dictionary of `count` numbers, "k0": 0 and on, at revision `count`.
inline Node numbered(const UUID& id, std::int64_t count) {
    Node n = dict(id, {}, count);
    for (std::int64_t i = 0; i < count; ++i)
        n.entries.emplace_back("k" + std::to_string(i), num(i));
    return n;
}

/// `count` dictionaries, each holding the next under "c".
inline Node nested(int count) {
    Node tree = dict(newId(), {});
    for (int i = 1; i < count; ++i)
        tree = dict(newId(), {{"c", tree}});
    return tree;
}

/// Writes `n` in the layout a client writes or, given its file's root, in the layout the daemon
/// writes: the root's id in place of the subscription flag, and keys in byte order.
inline void write(basalt::ArchiveWriter& w, const Node& n, const UUID* root) {
    w.encodeInteger(static_cast<std::int64_t>(n.kind));
    if (n.kind == ValueKind::number) {
        w.encodeInteger(n.number);
    } else if (n.kind == ValueKind::string) {
        w.encodeText(n.text);
    } else if (n.kind == ValueKind::data) {
        w.encodeBytes({reinterpret_cast<const std::uint8_t*>(n.text.data()), n.text.size()});
    } else {
        w.encodeBytes(n.id.bytes());
        if (n.kind == ValueKind::containerProxy)
            return;
        if (root)
            w.encodeBytes(root->bytes()).encodeInteger(n.revision);
        else
            w.encodeInteger(n.revision).encodeInteger(n.subscribed ? 1 : 0);
        auto entries = n.entries;
        if (root && n.kind == ValueKind::dictionary)
            std::ranges::sort(entries, {}, &std::pair<std::string, Node>::first);
        w.encodeInteger(static_cast<std::int64_t>(entries.size()));
        for (const auto& [key, value] : entries) {
            if (n.kind == ValueKind::dictionary)
                w.encodeText(key);
            write(w, value, root);
        }
    }
}

/// `n` in the layout a client writes.
inline std::vector<std::uint8_t> clientBlob(const Node& n) {
    basalt::ArchiveWriter w;
    write(w, n, nullptr);
    return w.takeArchiverData();
}
/// `n`, in the file whose root is `root`, in the layout the daemon writes.
inline std::vector<std::uint8_t> daemonBlob(const Node& n, const UUID& root = {}) {
    basalt::ArchiveWriter w;
    write(w, n, &root);
    return w.takeArchiverData();
}

/// A directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "velkord-test-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

/// Runs SQL on the database at `path`, as another program would; the first column of the last
/// row, if any.
inline std::string sql(const std::string& path, const std::string& statements) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string last;
    auto keep = [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] ? values[0] : "";
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, statements.c_str(), keep, &last, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    return last;
}

inline const daemon::Caller alice{":1.10", 1000};
inline const daemon::Caller bob{":1.11", 1000};  // same user, another client
inline const daemon::Caller carol{":1.12", 1000};
inline const daemon::Caller eve{":1.13", 1001};  // another user
inline const daemon::Caller root{":1.14", 0};

/// A change record of a container, as a client sends it.
inline ClientRequest change(ChangeType type, const UUID& id, std::int64_t revision,
                            std::int64_t from, std::int64_t to, std::string key,
                            std::vector<std::uint8_t> data = {}) {
    return ClientRequest::UpdateSettings{std::make_shared<VKChangeNotification>(
        type, id, revision, from, to, std::move(key), std::move(data))};
}
/// A dictionary set, as a client sends it.
inline ClientRequest setting(const UUID& id, std::int64_t revision, const std::string& key,
                             const Node& value, bool inserted = false) {
    return change(inserted ? ChangeType::childInserted : ChangeType::childChanged, id, revision, 0,
                  0, key, clientBlob(value));
}

/// A store in a fresh directory, with one helper per request.
class StoreTest : public ::testing::Test {
  protected:
    StoreTest() { reopen(); }

    /// Closes and reopens the store, as a restart of the daemon does.
    void reopen(daemon::StoreLimits limits = {},
                daemon::Checkpointer::Thresholds checkpoints = {}) {
        store_.reset();
        store_ = std::make_unique<daemon::SettingsStore>(
            dir_.file("settings.db"), daemon::Durability::normal, limits, checkpoints);
    }

    daemon::Outcome create(const daemon::Caller& c, const Node& tree, std::uint32_t user = 1000,
                           const std::string& domain = "org.example.app") {
        return store_->handle(c,
                              ClientRequest::CreateSettings{Blob(clientBlob(tree)), domain, user});
    }
    daemon::Outcome fetch(const daemon::Caller& c, const std::string& path = "",
                          bool recursive = false, std::uint32_t user = 1000,
                          const std::string& domain = "org.example.app") {
        return store_->handle(c, ClientRequest::FetchSettings{domain, user, path, recursive});
    }
    daemon::Outcome resolve(const daemon::Caller& c, const UUID& id, bool recursive = false) {
        return store_->handle(c, ClientRequest::ResolveSettings{id, recursive});
    }
    daemon::Outcome remove(const daemon::Caller& c, std::uint32_t user = 1000,
                           const std::string& domain = "org.example.app") {
        return store_->handle(c, ClientRequest::DeleteSettings{domain, user});
    }
    daemon::Outcome update(const daemon::Caller& c, ChangeType type, const UUID& id,
                           std::int64_t revision, std::int64_t from, std::int64_t to,
                           std::string key, std::vector<std::uint8_t> data = {}) {
        return store_->handle(c, change(type, id, revision, from, to, std::move(key), data));
    }
    daemon::Outcome set(const daemon::Caller& c, const UUID& id, std::int64_t revision,
                        const std::string& key, const Node& value, bool inserted = false) {
        return store_->handle(c, setting(id, revision, key, value, inserted));
    }

    TempDir dir_;
    std::unique_ptr<daemon::SettingsStore> store_;
};

inline bool succeeded(const daemon::Outcome& o) {
    return o.answer.get<ServerResponse::RequestSucceeded>() != nullptr;
}

inline VKError failure(const daemon::Outcome& o) {
    const auto* f = o.answer.get<ServerResponse::RequestHasFailed>();
    EXPECT_NE(f, nullptr) << "expected a failure, got " << o.answer.description();
    return f ? f->error : VKError(VKError::notImplementedYet);
}

/// The blob a settingsFetched answer carries.
inline std::vector<std::uint8_t> fetched(const daemon::Outcome& o) {
    const auto* f = o.answer.get<ServerResponse::SettingsFetched>();
    EXPECT_NE(f, nullptr) << "expected settingsFetched, got " << o.answer.description();
    return f ? std::vector<std::uint8_t>(f->data.bytes().begin(), f->data.bytes().end())
             : std::vector<std::uint8_t>{};
}

inline ServerResponse::SettingsUpdated updated(const daemon::Outcome& o) {
    const auto* u = o.answer.get<ServerResponse::SettingsUpdated>();
    EXPECT_NE(u, nullptr) << "expected settingsUpdated, got " << o.answer.description();
    return u ? *u : ServerResponse::SettingsUpdated{ChangeResult::noRevisionIncrement, -1};
}
inline ChangeResult result(const daemon::Outcome& o) {
    return updated(o).changeResult;
}
/// The new revision of a change that was done.
inline std::int64_t doneAt(const daemon::Outcome& o) {
    const auto u = updated(o);
    EXPECT_EQ(u.changeResult, ChangeResult::done);
    return u.newRevision;
}

/// The records of an outcome for one client, with their paths.
inline std::vector<std::pair<ChangeNotificationPtr, std::string>> notesFor(
    const daemon::Outcome& o, const daemon::Caller& c) {
    std::vector<std::pair<ChangeNotificationPtr, std::string>> notes;
    for (const auto& notice : o.notices) {
        const auto& changes = notice.changes;
        EXPECT_EQ(changes.changeNotifications.size(), changes.changePaths.size());
        for (std::size_t i = 0; notice.clientId == c.clientId && i < changes.changePaths.size();
             ++i)
            notes.emplace_back(changes.changeNotifications.at(i), changes.changePaths[i]);
    }
    return notes;
}

/// The types of the records an outcome has for one client.
inline std::vector<ChangeType> typesFor(const daemon::Outcome& o, const daemon::Caller& c) {
    std::vector<ChangeType> types;
    for (const auto& [record, path] : notesFor(o, c))
        types.push_back(record->type);
    return types;
}

/// Which clients an outcome sends notices to.
inline std::vector<std::string> recipients(const daemon::Outcome& o) {
    std::vector<std::string> ids;
    for (const auto& notice : o.notices)
        ids.push_back(notice.clientId);
    return ids;
}

}  // namespace velkor::test
