#include <sqlite3.h>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

// root {name: "x", blob: data, list: [1, "two", shared {k: -1}], again: shared}
class FileLifeTest : public StoreTest {
  protected:
    UUID rootId = newId();
    UUID listId = newId();
    UUID sharedId = newId();

    Node tree() const {
        return dict(
            rootId,
            {{"name", str("x")},
             {"blob", dat(std::string("\0\1\2", 3))},
             {"list", arr(listId, {num(1), str("two"), dict(sharedId, {{"k", num(-1)}}, 4)}, 2)},
             {"again", ref(sharedId)}},
            9, true);
    }
};

}  // namespace

TEST_F(FileLifeTest, CreateFetchResolveDeleteAndCreateAgain) {
    ASSERT_TRUE(succeeded(create(alice, tree())));

    // Not recursive: the root in full, its sub-containers as proxies.
    const Node top = fetched(fetch(alice));
    EXPECT_EQ(std::tuple(top.kind, top.id, top.root, top.revision, top.count()),
              std::tuple(ValueKind::dictionary, rootId, rootId, 9, 4u));
    EXPECT_EQ(top.at("name").text, "x");
    EXPECT_EQ(top.at("blob").text, std::string("\0\1\2", 3));
    EXPECT_EQ(std::tuple(top.at("list").kind, top.at("list").id),
              std::tuple(ValueKind::containerProxy, listId));

    // Recursive: everything in full, in key order, the container of two parents written once.
    const Node all = fetched(fetch(alice, "", true));
    const Node& list = all.at("list");
    EXPECT_EQ(std::tuple(list.kind, list.revision, list.root, list.count()),
              std::tuple(ValueKind::array, 2, rootId, 3u));
    EXPECT_EQ(list.at(1).text, "two");
    EXPECT_EQ(std::tuple(all.at("again").id, all.at("again").revision), std::tuple(sharedId, 4));
    EXPECT_EQ(all.at("again").at("k").number, -1);
    EXPECT_EQ(std::tuple(list.at(2).kind, list.at(2).id),
              std::tuple(ValueKind::containerProxy, sharedId));
    EXPECT_EQ(store().subscription(alice.clientId, rootId), true);
    EXPECT_EQ(store().subscription(alice.clientId, listId), false);

    // Paths lead through keys and indexes.
    EXPECT_EQ(fetched(fetch(alice, "list/2/k")).number, -1);
    EXPECT_EQ(fetched(fetch(alice, "again")).at("k").number, -1);
    for (const char* path : {"missing", "list/3", "list/x", "list/-1", "list/+1", "list/",
                             "name/deeper", "list/99999999999999999999"}) {
        EXPECT_EQ(failure(fetch(alice, path)), VKError::pathDoesNotExist) << path;
    }
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.other")),
              VKError::fileDoesNotExist);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "")), VKError::invalidData);

    // Another client resolves containers and records its subscriptions, until it goes.
    EXPECT_EQ(fetched(resolve(bob, listId, true)).at(2).at("k").number, -1);
    EXPECT_EQ(failure(resolve(bob, newId())), VKError::containerNotFound);
    EXPECT_TRUE(succeeded(store().handle(bob, ClientRequest::SetHasSubscription{listId, true})));
    EXPECT_EQ(store().subscription(bob.clientId, listId), true);
    EXPECT_EQ(failure(store().handle(bob, ClientRequest::SetHasSubscription{newId(), true})),
              VKError::containerNotFound);
    store().clientGone(bob.clientId);
    EXPECT_EQ(store().subscription(bob.clientId, listId), std::nullopt);

    const auto removed = remove(alice);
    const auto* deleted = removed.answer.get<ServerResponse::SettingsDeleted>();
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(deleted->rootId, rootId);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(resolve(alice, listId)), VKError::containerNotFound);
    EXPECT_EQ(failure(remove(alice)), VKError::fileDoesNotExist);
    // Every row went with the file: the same ids can be used again.
    ASSERT_TRUE(succeeded(create(alice, tree())));
    EXPECT_EQ(fetched(fetch(alice, "list/2/k")).number, -1);
}

TEST_F(FileLifeTest, MalformedOrCollidingTreesAreRefusedAndLeaveNothing) {
    const UUID id = newId();
    EXPECT_EQ(failure(create(alice, num(3))), VKError::invalidData);
    EXPECT_EQ(failure(create(alice, dict(id, {{"a", ref(newId())}}))), VKError::invalidData);
    EXPECT_EQ(failure(create(alice, dict(id, {{"self", ref(id)}}))), VKError::circularReferences);
    EXPECT_EQ(failure(create(alice, dict(id, {}), 1000, "")), VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);

    ASSERT_TRUE(succeeded(create(alice, tree())));
    EXPECT_EQ(failure(create(alice, dict(newId(), {}))), VKError::fileAlreadyExists);
    // An id already stored, even in another file, refuses the blob.
    EXPECT_EQ(failure(create(alice, dict(newId(), {{"x", dict(sharedId, {})}}), 1000, "other")),
              VKError::invalidData);

    // One request writes at most so many containers, in a create or in a change.
    reopen({.maxContainersPerRequest = 3});
    auto nested = [](int count) {
        Node tree = dict(newId(), {});
        for (int i = 1; i < count; ++i)
            tree = dict(newId(), {{"c", tree}});
        return tree;
    };
    EXPECT_EQ(failure(create(alice, nested(4), 1000, "other")), VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "other")), VKError::fileDoesNotExist);
    EXPECT_TRUE(succeeded(create(alice, nested(3), 1000, "other")));
    EXPECT_EQ(failure(set(alice, rootId, 9, "more", nested(4))), VKError::invalidData);
    EXPECT_EQ(updated(set(alice, rootId, 9, "more", nested(3))).newRevision, 10);
}

namespace {

std::string hex(const UUID& id) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "X'";
    for (auto byte : id.bytes())
        text += {digits[byte >> 4], digits[byte & 0xF]};
    return text + "'";
}

/// Runs SQL on the database at `path`; gives the first column of the last row, if any.
std::string sql(const std::string& path, const std::string& statements) {
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

}  // namespace

TEST(StoreMigrationTest, AStoreOfSchemaOneIsConvertedWithEveryValue) {
    TempDir dir;
    const auto path = dir.file("settings.db");
    const std::string root = hex(newId()), child = hex(newId());
    // A store as the first schema laid it out: items in the b-tree of their key.
    sql(path,
        "CREATE TABLE files(user INTEGER NOT NULL, domain TEXT NOT NULL, root BLOB NOT NULL "
        "UNIQUE, PRIMARY KEY(user, domain)) WITHOUT ROWID;"
        "CREATE TABLE containers(id BLOB PRIMARY KEY, root BLOB NOT NULL, kind INTEGER NOT NULL, "
        "revision INTEGER NOT NULL) WITHOUT ROWID;"
        "CREATE INDEX containers_by_root ON containers(root);"
        "CREATE TABLE items(container BLOB NOT NULL, key TEXT NOT NULL, slot INTEGER NOT NULL, "
        "kind INTEGER NOT NULL, value, PRIMARY KEY(container, key, slot)) WITHOUT ROWID;"
        "CREATE INDEX items_by_child ON items(value) WHERE kind = 5;"
        "PRAGMA user_version = 1;"
        "INSERT INTO files VALUES(1000, 'org.example.app', " +
            root + ");" + "INSERT INTO containers VALUES(" + root + ", " + root + ", 4, 3), (" +
            child + ", " + root + ", 3, 1);" + "INSERT INTO items VALUES(" + root +
            ", 'big', 0, 2, zeroblob(100000)), (" + root + ", 'list', 0, 5, " + child + "), (" +
            child + ", '', 0, 1, 'one'), (" + child + ", '', 1, 0, 2);");
    {
        daemon::SettingsStore store(path);
        const Node top = fetched(
            store.handle(alice, ClientRequest::FetchSettings{"org.example.app", 1000, "", true}));
        EXPECT_EQ(top.revision, 3);
        EXPECT_EQ(top.at("big").text, std::string(100000, '\0'));
        EXPECT_EQ(top.at("list").at(0).text, "one");
        EXPECT_EQ(top.at("list").at(1).number, 2);
    }
    EXPECT_EQ(sql(path, "PRAGMA user_version"), "2");
    EXPECT_EQ(sql(path, "SELECT sql FROM sqlite_schema WHERE name = 'items'").find("WITHOUT ROWID"),
              std::string::npos);
    EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
}
