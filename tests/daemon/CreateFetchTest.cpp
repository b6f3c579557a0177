#include <sqlite3.h>

#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

// root {name: "x", n: 7, blob: data, list: [1, "two", shared {k: -1}], again: shared}
struct SampleTree {
    UUID rootId = newId();
    UUID listId = newId();
    UUID sharedId = newId();

    Node tree() const {
        return dict(
            rootId,
            {{"name", str("x")},
             {"n", num(7)},
             {"blob", dat(std::string("\0\1\2", 3))},
             {"list", arr(listId, {num(1), str("two"), dict(sharedId, {{"k", num(-1)}}, 4)}, 2)},
             {"again", ref(sharedId)}},
            9, true);
    }
};

class CreateFetchTest : public StoreTest {
  protected:
    SampleTree sample;
};

}  // namespace

TEST_F(CreateFetchTest, CreatedTreeComesBackWithItsIdsRevisionsAndValues) {
    ASSERT_NE(create(alice, sample.tree()).answer.get<ServerResponse::RequestSucceeded>(), nullptr);

    // Not recursive: the root in full, its sub-containers as proxies.
    const Node top = fetched(fetch(alice));
    EXPECT_EQ(top.kind, ValueKind::dictionary);
    EXPECT_EQ(top.id, sample.rootId);
    EXPECT_EQ(top.root, sample.rootId);
    EXPECT_EQ(top.revision, 9);
    ASSERT_EQ(top.count(), 5u);
    EXPECT_EQ(top.at("name").text, "x");
    EXPECT_EQ(top.at("n").number, 7);
    EXPECT_EQ(top.at("blob").kind, ValueKind::data);
    EXPECT_EQ(top.at("blob").text, std::string("\0\1\2", 3));
    EXPECT_EQ(top.at("list").kind, ValueKind::containerProxy);
    EXPECT_EQ(top.at("list").id, sample.listId);
    EXPECT_EQ(top.at("again").kind, ValueKind::containerProxy);

    // Recursive: everything in full, the container held by two parents written once.
    const Node all = fetched(fetch(alice, "", true));
    const Node& list = all.at("list");
    ASSERT_EQ(list.kind, ValueKind::array);
    EXPECT_EQ(list.revision, 2);
    EXPECT_EQ(list.root, sample.rootId);
    ASSERT_EQ(list.count(), 3u);
    EXPECT_EQ(list.at(0).number, 1);
    EXPECT_EQ(list.at(1).text, "two");
    // Keys come in order, so "again" meets the shared container first and writes it in full;
    // the array then refers to it.
    const Node& shared = all.at("again");
    EXPECT_EQ(shared.kind, ValueKind::dictionary);
    EXPECT_EQ(shared.id, sample.sharedId);
    EXPECT_EQ(shared.revision, 4);
    EXPECT_EQ(shared.at("k").number, -1);
    EXPECT_EQ(list.at(2).kind, ValueKind::containerProxy);
    EXPECT_EQ(list.at(2).id, sample.sharedId);

    // The creator's subscription flags are recorded as the blob gave them.
    EXPECT_EQ(store().subscription(alice.clientId, sample.rootId), true);
    EXPECT_EQ(store().subscription(alice.clientId, sample.listId), false);
}

TEST_F(CreateFetchTest, PathsLeadThroughKeysAndIndexes) {
    create(alice, sample.tree());

    EXPECT_EQ(fetched(fetch(alice, "list/2/k")).number, -1);
    EXPECT_EQ(fetched(fetch(alice, "list/1")).text, "two");
    EXPECT_EQ(fetched(fetch(alice, "n")).number, 7);
    const Node shared = fetched(fetch(alice, "again"));
    EXPECT_EQ(shared.id, sample.sharedId);
    EXPECT_EQ(shared.at("k").number, -1);
    const Node list = fetched(fetch(alice, "list", false));
    EXPECT_EQ(list.at(2).kind, ValueKind::containerProxy);

    for (const char* path : {"missing", "list/3", "list/x", "list/-1", "list/+1", "list/",
                             "n/deeper", "list/2/k/more", "list/99999999999999999999"}) {
        EXPECT_EQ(failure(fetch(alice, path)), VKError::pathDoesNotExist) << path;
    }
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.other")),
              VKError::fileDoesNotExist);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "")), VKError::invalidData);
}

TEST_F(CreateFetchTest, MalformedOrCollidingTreesAreRefusedAndLeaveNothing) {
    // The top value must be a container; the blob's own faults are the decoder's, one will do.
    const UUID id = newId();
    EXPECT_EQ(failure(create(alice, num(3))), VKError::invalidData);
    EXPECT_EQ(failure(create(alice, dict(id, {{"a", ref(newId())}}))), VKError::invalidData);
    EXPECT_EQ(failure(create(alice, dict(id, {{"self", ref(id)}}))), VKError::circularReferences);
    EXPECT_EQ(failure(create(alice, dict(id, {}), 1000, "")), VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);

    ASSERT_NE(create(alice, sample.tree()).answer.get<ServerResponse::RequestSucceeded>(), nullptr);
    EXPECT_EQ(failure(create(alice, dict(newId(), {}))), VKError::fileAlreadyExists);
    // An id already stored, even in another file, refuses the blob.
    EXPECT_EQ(failure(create(alice, dict(newId(), {{"x", dict(sample.sharedId, {})}}), 1000,
                             "org.example.other")),
              VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.other")),
              VKError::fileDoesNotExist);

    // One request writes at most so many containers, in a create or in a change.
    reopen({.maxContainersPerRequest = 3});
    auto nested = [](int count) {
        Node tree = dict(newId(), {});
        for (int i = 1; i < count; ++i)
            tree = dict(newId(), {{"c", tree}});
        return tree;
    };
    EXPECT_EQ(failure(create(alice, nested(4), 1000, "org.example.other")), VKError::invalidData);
    EXPECT_NE(create(alice, nested(3), 1000, "org.example.other")
                  .answer.get<ServerResponse::RequestSucceeded>(),
              nullptr);
    EXPECT_EQ(failure(set(alice, sample.rootId, 9, "more", nested(4))), VKError::invalidData);
    EXPECT_EQ(updated(set(alice, sample.rootId, 9, "more", nested(3))).newRevision, 10);
}

TEST_F(CreateFetchTest, ResolveSubscribeDeleteAndCreateAgain) {
    create(alice, sample.tree());

    const Node list = fetched(resolve(bob, sample.listId));
    EXPECT_EQ(list.id, sample.listId);
    EXPECT_EQ(list.at(2).kind, ValueKind::containerProxy);
    EXPECT_EQ(fetched(resolve(bob, sample.listId, true)).at(2).at("k").number, -1);
    EXPECT_EQ(failure(resolve(bob, newId())), VKError::containerNotFound);

    // Subscription flags are recorded per client, and forgotten when the client goes.
    EXPECT_EQ(store().subscription(bob.clientId, sample.listId), std::nullopt);
    ASSERT_NE(store()
                  .handle(bob, ClientRequest::SetHasSubscription{sample.listId, true})
                  .answer.get<ServerResponse::RequestSucceeded>(),
              nullptr);
    EXPECT_EQ(store().subscription(bob.clientId, sample.listId), true);
    EXPECT_EQ(store().subscription(alice.clientId, sample.listId), false);
    EXPECT_EQ(failure(store().handle(bob, ClientRequest::SetHasSubscription{newId(), true})),
              VKError::containerNotFound);
    store().clientGone(bob.clientId);
    EXPECT_EQ(store().subscription(bob.clientId, sample.listId), std::nullopt);

    const auto deleted = remove(alice);
    const auto* answer = deleted.answer.get<ServerResponse::SettingsDeleted>();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->rootId, sample.rootId);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(resolve(alice, sample.listId)), VKError::containerNotFound);
    EXPECT_EQ(failure(remove(alice)), VKError::fileDoesNotExist);

    // Every row went with the file: the same ids can be used again.
    ASSERT_NE(create(alice, sample.tree()).answer.get<ServerResponse::RequestSucceeded>(), nullptr);
    EXPECT_EQ(fetched(fetch(alice, "list/2/k")).number, -1);
}

namespace {

std::string hex(const UUID& id) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "X'";
    for (auto byte : id.bytes()) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
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
    const UUID root = newId();
    const UUID child = newId();
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
            hex(root) +
            ");"
            "INSERT INTO containers VALUES(" +
            hex(root) + ", " + hex(root) +
            ", 4, 3);"
            "INSERT INTO containers VALUES(" +
            hex(child) + ", " + hex(root) +
            ", 3, 1);"
            "INSERT INTO items VALUES(" +
            hex(root) +
            ", 'big', 0, 2, zeroblob(100000));"
            "INSERT INTO items VALUES(" +
            hex(root) + ", 'list', 0, 5, " + hex(child) +
            ");"
            "INSERT INTO items VALUES(" +
            hex(child) +
            ", '', 0, 1, 'one');"
            "INSERT INTO items VALUES(" +
            hex(child) + ", '', 1, 0, 2);");

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
