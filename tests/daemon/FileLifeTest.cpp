#include <filesystem>
#include <fstream>
#include <map>

#include "DaemonTesting.h"
#include "core/Access.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class AccessTest : public StoreTest {};

// root {name: "x", blob: data, list: [1, "two", shared {k: -1}], again: shared}
class FileLifeTest : public StoreTest {
  protected:
    UUID rootId = newId(), listId = newId(), sharedId = newId();
    Node shared = dict(sharedId, {{"k", num(-1)}}, 4);

    /// The file with `list` and `again` as given: its tree as created, or as fetched.
    Node file(Node list, Node again) const {
        return dict(rootId,
                    {{"name", str("x")},
                     {"blob", dat(std::string("\0\1\2", 3))},
                     {"list", std::move(list)},
                     {"again", std::move(again)}},
                    9, true);
    }
    Node tree() const { return file(arr(listId, {num(1), str("two"), shared}, 2), ref(sharedId)); }
};

std::string hex(const UUID& id) {
    std::string text = id.description();
    std::erase(text, '-');
    return "X'" + text + "'";
}

}  // namespace

TEST_F(FileLifeTest, CreateFetchResolveDeleteAndCreateAgain) {
    ASSERT_TRUE(succeeded(create(alice, tree())));

    // Not recursive: the root in full, its sub-containers as proxies. Recursive: everything in
    // full, in key order, the container of two parents written once.
    EXPECT_EQ(fetched(fetch(alice)), daemonBlob(file(ref(listId), ref(sharedId)), rootId));
    const Node list = arr(listId, {num(1), str("two"), ref(sharedId)}, 2);
    EXPECT_EQ(fetched(fetch(alice, "", true)), daemonBlob(file(list, shared), rootId));
    EXPECT_EQ(store_->subscription(alice.clientId, rootId), true);
    EXPECT_EQ(store_->subscription(alice.clientId, listId), false);

    // Paths lead through keys and indexes.
    EXPECT_EQ(fetched(fetch(alice, "list/2/k")), daemonBlob(num(-1)));
    EXPECT_EQ(fetched(fetch(alice, "again")), daemonBlob(shared, rootId));
    for (const char* path : {"missing", "list/3", "list/x", "list/-1", "list/+1", "list/",
                             "name/deeper", "list/99999999999999999999"})
        EXPECT_EQ(failure(fetch(alice, path)), VKError::pathDoesNotExist) << path;
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.other")),
              VKError::fileDoesNotExist);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "")), VKError::invalidData);

    // Another client resolves containers and records its subscriptions, until it goes.
    EXPECT_EQ(fetched(resolve(bob, listId, true)),
              daemonBlob(arr(listId, {num(1), str("two"), shared}, 2), rootId));
    EXPECT_EQ(failure(resolve(bob, newId())), VKError::containerNotFound);
    EXPECT_TRUE(succeeded(store_->handle(bob, ClientRequest::SetHasSubscription{listId, true})));
    EXPECT_EQ(store_->subscription(bob.clientId, listId), true);
    EXPECT_EQ(failure(store_->handle(bob, ClientRequest::SetHasSubscription{newId(), true})),
              VKError::containerNotFound);
    store_->clientGone(bob.clientId);
    EXPECT_EQ(store_->subscription(bob.clientId, listId), std::nullopt);

    const auto removed = remove(alice);
    const auto* deleted = removed.answer.get<ServerResponse::SettingsDeleted>();
    EXPECT_EQ(deleted ? deleted->rootId : UUID::zero(), rootId);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(resolve(alice, listId)), VKError::containerNotFound);
    EXPECT_EQ(failure(remove(alice)), VKError::fileDoesNotExist);
    // Every row went with the file: the same ids can be used again.
    ASSERT_TRUE(succeeded(create(alice, tree())));
    EXPECT_EQ(fetched(fetch(alice, "list/2/k")), daemonBlob(num(-1)));
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
    EXPECT_EQ(failure(create(alice, nested(4), 1000, "other")), VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "other")), VKError::fileDoesNotExist);
    EXPECT_TRUE(succeeded(create(alice, nested(3), 1000, "other")));
    EXPECT_EQ(failure(set(alice, rootId, 9, "more", nested(4))), VKError::invalidData);
    EXPECT_EQ(doneAt(set(alice, rootId, 9, "more", nested(3))), 10);
}

TEST(StoreMigrationTest, AStoreOfSchemaOneIsConvertedWithEveryValue) {
    TempDir dir;
    const auto path = dir.file("settings.db");
    const UUID rootId = newId(), childId = newId();
    const std::string root = hex(rootId), child = hex(childId);
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
    EXPECT_EQ(fetched(daemon::SettingsStore(path).handle(
                  alice, ClientRequest::FetchSettings{"org.example.app", 1000, "", true})),
              daemonBlob(dict(rootId,
                              {{"big", dat(std::string(100000, '\0'))},
                               {"list", arr(childId, {str("one"), num(2)}, 1)}},
                              3),
                         rootId));
    EXPECT_EQ(sql(path, "PRAGMA user_version"), "2");
    EXPECT_EQ(sql(path, "SELECT sql FROM sqlite_schema WHERE name = 'items'").find("WITHOUT ROWID"),
              std::string::npos);
    EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
}

TEST(StorePermissionsTest, AStoreAndItsLogFilesAreItsOwnersOnlyWhateverFileItWasGiven) {
    namespace fs = std::filesystem;
    TempDir dir;
    const auto path = dir.file("settings.db");
    // Opens the store, creates a file in it, and checks who may read the store's files.
    auto createFile = [&](const std::string& domain) {
        daemon::SettingsStore store(path);
        EXPECT_TRUE(succeeded(store.handle(
            alice, ClientRequest::CreateSettings{Blob(clientBlob(dict(newId(), {{"k", num(1)}}))),
                                                 domain, 1000})));
        for (const auto& name : {path, path + "-wal", path + "-shm"})
            EXPECT_EQ(fs::status(name).permissions(), fs::perms(0600)) << name;
    };
    // An empty file made readable by others, as `touch` makes it.
    std::ofstream{path};
    fs::permissions(path, fs::perms(0644));
    createFile("org.example.one");
    // A store readable by others, whose log files another connection has made meanwhile.
    fs::permissions(path, fs::perms(0644));
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(reader, "SELECT count(*) FROM files", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(fs::status(path + "-wal").permissions(), fs::perms(0644));
    createFile("org.example.two");
    sqlite3_close(reader);
}

TEST_F(AccessTest, UserFilesBelongToTheirUserAndRootSharedOnesAreReadByEveryone) {
    constexpr auto kShared = daemon::Access::sharedUser;
    // Eve may not create Alice's file; the refusal does not reveal whether it exists.
    EXPECT_EQ(failure(create(eve, dict(newId(), {}))), VKError::fileDoesNotExist);
    // A user's file, another user's and the shared one, each {sub: {x: 1}}.
    std::map<std::uint32_t, UUID> subs;
    for (auto [creator, user] : {std::pair{alice, 1000u}, {root, 1001u}, {root, kShared}}) {
        subs[user] = newId();
        ASSERT_TRUE(succeeded(
            create(creator, dict(newId(), {{"sub", dict(subs[user], {{"x", num(1)}})}}), user)));
    }
    EXPECT_EQ(failure(create(eve, dict(newId(), {}))), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(create(alice, dict(newId(), {}), kShared)), VKError::fileDoesNotExist);

    // What a caller may do with a user's file: "r" read, "s" subscribe, "w" write.
    for (auto [caller, user, rights] : {std::tuple{bob, 1000u, "rsw"},
                                        {root, 1000u, "rsw"},
                                        {eve, 1001u, "rsw"},
                                        {eve, 1000u, ""},
                                        {alice, 1001u, ""},
                                        {alice, kShared, "rs"},
                                        {eve, kShared, "rs"},
                                        {root, kShared, "rsw"}}) {
        const UUID sub = subs[user];
        std::string may;
        if (fetch(caller, "sub/x", false, user).answer.get<ServerResponse::SettingsFetched>() &&
            resolve(caller, sub).answer.get<ServerResponse::SettingsFetched>())
            may += "r";
        if (succeeded(store_->handle(caller, ClientRequest::SetHasSubscription{sub, true})))
            may += "s";
        // Any answer of a change, conflicts included, is one the caller may have.
        if (set(caller, sub, 0, "x", num(2)).answer.get<ServerResponse::SettingsUpdated>())
            may += "w";
        EXPECT_EQ(may, rights) << caller.uid << " on " << user;
    }
    EXPECT_EQ(failure(fetch(eve)), VKError::fileDoesNotExist);

    EXPECT_EQ(failure(remove(eve)), VKError::fileDoesNotExist);
    EXPECT_EQ(failure(remove(alice, kShared)), VKError::fileDoesNotExist);
    for (auto user : {1000u, 1001u, kShared})
        EXPECT_NE(remove(root, user).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
}
