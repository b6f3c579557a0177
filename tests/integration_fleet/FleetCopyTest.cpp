#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "core/NoticeList.h"
#include "core/SettingsStore.h"
#include "daemon/DaemonTesting.h"
#include "fleet/FleetCodec.h"
#include "fleet/FleetCopy.h"
#include "fleet/FleetHeads.h"

namespace velkor::fleet::test {

namespace {

using namespace velkor::daemon;

constexpr const char* kDomain = "org.example.lab";

StoredItem number(std::string key, std::int64_t value) {
    return StoredItem{std::move(key), 0, ValueKind::number, value, {}, {}};
}
StoredItem text(std::string key, std::string value) {
    return StoredItem{std::move(key), 0, ValueKind::string, 0, std::move(value), {}};
}
StoredItem child(std::string key, const UUID& id) {
    return StoredItem{std::move(key), 0, ValueKind::containerProxy, 0, {}, id};
}

/// What one client was told: each record's type, revision and key.
using Told = std::vector<std::tuple<std::string, std::int64_t, std::string>>;

/// A fleet copy holding one file, whose root dictionary a client holds; other machines' changes
/// are applied to it as the watch delivers them.
class FleetCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store_.transact([](SettingsStore::Parts& parts) { FleetHeads::createTables(parts.db); });
        EXPECT_EQ(apply(10, {head(10), dictionary(10, root_, 3, {number("a", 1), text("b", "x")})}),
                  Told{});
        store_.transact([&](SettingsStore::Parts& parts) { parts.holdings.hold("c1", root_); });
    }

    EtcdEvent head(std::int64_t modRevision) {
        return {EtcdEvent::Type::put,
                {keys_.head(kDomain), FleetCodec::encodeHead(root_), 0, modRevision, 0}};
    }
    EtcdEvent dictionary(std::int64_t modRevision, const UUID& id, std::int64_t revision,
                         const std::vector<StoredItem>& items) {
        const ContainerRecord record{id, root_, ValueKind::dictionary, revision};
        return {EtcdEvent::Type::put,
                {keys_.container(kDomain, id), FleetCodec::encodeContainer(record, items), 0,
                 modRevision, 0}};
    }

    /// Applies the events of one etcd revision; gives what the client was told.
    Told apply(std::int64_t revision, const std::vector<EtcdEvent>& events) {
        return change([&](FleetCopy& copy) {
            if (!copy.applyRevision(kDomain, revision, events))
                copy.replaceFile(kDomain, events.front().kv,
                                 kvsOf({events.begin() + 1, events.end()}));
        });
    }

    /// Makes the file what a whole read of it gives, at `revision`; gives what the client was
    /// told.
    Told read(std::int64_t revision, const std::vector<EtcdEvent>& containers) {
        return change([&](FleetCopy& copy) {
            copy.replaceFile(kDomain, head(revision).kv, kvsOf(containers));
        });
    }

    static std::vector<EtcdKeyValue> kvsOf(const std::vector<EtcdEvent>& events) {
        std::vector<EtcdKeyValue> kvs;
        for (const auto& event : events)
            kvs.push_back(event.kv);
        return kvs;
    }

    /// Makes `make` with the file's copy; gives what the client was told, and keeps the paths.
    Told change(const std::function<void(FleetCopy&)>& make) {
        NoticeList notices;
        store_.transact([&](SettingsStore::Parts& parts) {
            FleetCopy copy(parts, keys_, notices);
            make(copy);
        });
        Told result;
        paths_.clear();
        for (const auto& notice : notices.take()) {
            EXPECT_EQ(notice.clientId, "c1");
            for (const auto& record : notice.changes.changeNotifications)
                result.emplace_back(caseName(record->type), record->revision, record->key);
            paths_.insert(paths_.end(), notice.changes.changePaths.begin(),
                          notice.changes.changePaths.end());
        }
        return result;
    }

    bool held() {
        return store_.transact(
            [&](SettingsStore::Parts& parts) { return !parts.holdings.holders(root_).empty(); });
    }

    // Removed after the store is closed, with the journal files SQLite leaves beside it.
    velkor::test::TempDir dir_;
    SettingsStore store_{dir_.file("copy.db")};
    FleetKeys keys_{"/test/"};
    UUID root_ = UUID::random();
    std::vector<std::string> paths_;  // the paths of the records the last apply told
};

}  // namespace

// Another machine's changes to a dictionary's values reach its holders as the records of this
// machine's own changes, one per revision, and they keep holding it; a change that a record
// cannot tell (a child container added) makes them fetch it anew. Either comes with the
// container's path in its file.
TEST_F(FleetCopyTest, ValueChangesAreToldKeyByKeyAndOtherChangesAsAbandonment) {
    // Three changes: "a" replaced, "c" added, "b" removed.
    EXPECT_EQ(
        apply(11, {head(11), dictionary(11, root_, 6, {number("a", 2), number("c", 3)})}),
        (Told{{"childChanged", 4, "a"}, {"childInserted", 5, "c"}, {"childRemoved", 6, "b"}}));
    EXPECT_TRUE(held());

    // Two changes of one key: its value now, then the revision the second one took.
    EXPECT_EQ(apply(12, {head(12), dictionary(12, root_, 8, {number("a", 4), number("c", 3)})}),
              (Told{{"childChanged", 7, "a"}, {"updateRevision", 8, ""}}));
    EXPECT_TRUE(held());

    // This velkord's own change, coming back through the watch: nothing to tell.
    EXPECT_EQ(apply(12, {head(12), dictionary(12, root_, 9, {number("a", 5)})}), Told{});

    const auto sub = UUID::random();
    EXPECT_EQ(
        apply(13, {head(13),
                   dictionary(13, root_, 9, {number("a", 4), number("c", 3), child("sub", sub)}),
                   dictionary(13, sub, 1, {number("x", 1)})}),
        (Told{{"containerAbandoned", 9, ""}}));
    EXPECT_FALSE(held());

    store_.transact([&](SettingsStore::Parts& parts) { parts.holdings.hold("c1", sub); });
    EXPECT_EQ(apply(14, {head(14), dictionary(14, sub, 2, {number("x", 2)})}),
              (Told{{"childChanged", 2, "x"}}));
    EXPECT_EQ(paths_, std::vector<std::string>{"sub"});
    const auto deep = UUID::random();
    EXPECT_EQ(apply(15, {head(15), dictionary(15, sub, 3, {number("x", 2), child("deep", deep)}),
                         dictionary(15, deep, 1, {})}),
              (Told{{"containerAbandoned", 3, ""}}));
    EXPECT_EQ(paths_, std::vector<std::string>{"sub"});
}

// A file read whole (a copy catching up after its change found the file moved on) gives no order
// of the changes it holds: a dictionary with several keys changed is fetched anew by its holders,
// who take that content at once, rather than hear of its keys in an order they were not changed
// in ("10" sorts before "9"). One key changed is still told, over the revisions it spans.
TEST_F(FleetCopyTest, AFileReadWholeTellsOneKeyChangedButFetchesSeveralAnew) {
    EXPECT_EQ(read(12, {dictionary(12, root_, 5, {number("a", 2), text("b", "x")})}),
              (Told{{"childChanged", 4, "a"}, {"updateRevision", 5, ""}}));
    EXPECT_TRUE(held());
    EXPECT_EQ(
        read(15, {dictionary(15, root_, 7,
                             {number("10", 10), number("9", 9), number("a", 2), text("b", "x")})}),
        (Told{{"containerAbandoned", 7, ""}}));
    EXPECT_FALSE(held());
}

}  // namespace velkor::fleet::test
