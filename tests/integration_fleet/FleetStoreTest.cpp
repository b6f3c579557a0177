#include "FailingWrites.h"
#include "FleetTesting.h"
#include "core/Access.h"
#include "core/DatabaseError.h"
#include "daemon/DaemonTesting.h"
#include "fleet/FleetKeys.h"
#include "fleet/FleetStore.h"
#include "support/LogCapture.h"

namespace velkor::fleet::test {
namespace {

using namespace velkor::daemon;
using namespace velkor::test;

/// A fleet store, run as velkord runs it, whose fleet files are the shared files of
/// org.example.* under the test's prefix.
class FleetStoreTest : public FleetTest {
  protected:
    FleetStoreTest() {
        options.etcd.endpoints = cluster().endpoints();
        options.prefix = prefix();
        options.domains = {"org.example.*"};
        options.cachePath = dir.file("fleet.db");
        // Far more than etcd needs, even on a loaded machine under ThreadSanitizer, where 5 s
        // were seen to pass; the tests about time-outs set their own.
        options.requestTimeout = 30s;
    }

    std::unique_ptr<FleetStore> start() const {
        auto store = std::make_unique<FleetStore>(options);
        store->start([](std::vector<Notice>) {});
        return store;
    }

    /// Applies `requests` as velkord does, giving again those after a group that caught up.
    static std::vector<Outcome> applyAll(FleetStore& store, std::vector<PendingRequest> requests) {
        std::vector<Outcome> outcomes;
        while (outcomes.size() < requests.size()) {
            auto more = store.applyBatch(std::span(requests).subspan(outcomes.size()));
            store.changesPosted();
            outcomes.insert(outcomes.end(), more.begin(), more.end());
        }
        return outcomes;
    }

    /// The answer of `store` to a fetch of `key` in the shared file `domain`.
    static ServerResponse fetch(FleetStore& store, const std::string& domain,
                                const std::string& key = {}) {
        const std::vector<PendingRequest> fetch{
            {Caller{":1.1", 0},
             ClientRequest::FetchSettings{domain, Access::sharedUser, key, false}}};
        return store.applyBatch(fetch).at(0).answer;
    }

    TempDir dir;
    FleetOptions options;
};

// A change etcd never took leaves nothing behind: requests about the containers it would have
// added are not routed to the fleet, and the store keeps no record of them. (The copy has been
// read from the cluster before: a copy never read refuses every request before it gets as far.)
TEST_F(FleetStoreTest, ContainersOfARefusedChangeAreForgotten) {
    const auto missing = fetch(*start(), "org.example.lab");
    const auto* failed = missing.get<ServerResponse::RequestHasFailed>();
    ASSERT_TRUE(failed && failed->error == VKError::fileDoesNotExist) << missing.description();

    options.etcd.endpoints = {"127.0.0.1:1"};
    options.requestTimeout = 1s;
    auto store = start();
    const UUID root = newId(), child = newId();
    const ClientRequest create =
        ClientRequest::CreateSettings{Blob(clientBlob(dict(root, {{"c", dict(child, {})}}))),
                                      "org.example.lab", Access::sharedUser};
    ASSERT_TRUE(store->serves(create));
    const std::vector<PendingRequest> requests{{Caller{":1.1", 0}, create}};
    const auto outcomes = store->applyBatch(requests);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].answer.get<ServerResponse::RequestHasFailed>());
    for (const auto& id : {root, child})
        EXPECT_FALSE(store->serves(ClientRequest::ResolveSettings{id, false}));
}

// Changes that wait together share etcd transactions, of one file or several: changes of two
// files commit at one revision, also when one of the files changed elsewhere first. Changes
// that would pass the limit per change, or etcd's default number of operations per
// transaction, only together are each committed, in transactions of their own, not refused;
// so are changes of files that together are larger than one file may be.
TEST_F(FleetStoreTest, ChangesWaitingTogetherShareTransactionsWithinTheirLimits) {
    options.maxChangeBytes = 64 * 1024;
    options.limits.maxFileBytes = 100 * 1024;
    auto store = start();
    auto createFile = [&](const std::string& domain) {
        const UUID root = newId();
        EXPECT_TRUE(succeeded(
            applyAll(*store, {{Caller{":1.1", 0},
                               ClientRequest::CreateSettings{Blob(clientBlob(dict(root, {}))),
                                                             domain, Access::sharedUser}}})
                .at(0)));
        return root;
    };
    const UUID lab = createFile("org.example.lab");
    const UUID lab2 = createFile("org.example.lab2");
    auto etcd = client();
    const FleetKeys keys(prefix());
    auto head = [&](const std::string& domain) {
        return etcd->get(keys.head(domain), in(5s)).kvs.at(0);
    };
    auto sameTransaction = [&] {
        return head("org.example.lab").modRevision == head("org.example.lab2").modRevision;
    };
    int added = 0;  // each change adds the next key of k0, k1, ...
    auto updateAll = [&](std::vector<std::pair<UUID, Node>> changes) {
        std::vector<PendingRequest> requests;
        for (const auto& [root, value] : changes)
            requests.push_back({Caller{":1." + std::to_string(requests.size() + 2), 0},
                                setting(root, 0, "k" + std::to_string(added++), value, true)});
        for (const auto& outcome : applyAll(*store, requests))
            EXPECT_TRUE(outcome.answer.get<ServerResponse::SettingsUpdated>())
                << outcome.answer.description();
    };

    updateAll({{lab, num(1)}, {lab2, num(2)}});
    EXPECT_TRUE(sameTransaction());
    const auto moved = head("org.example.lab");
    etcd->put(moved.key, moved.value, in(5s));
    updateAll({{lab, num(3)}, {lab2, num(4)}});
    EXPECT_TRUE(sameTransaction());

    // Each in a container of its own, which is all that the change writes besides its root.
    auto large = [] { return dict(newId(), {{"v", str(std::string(40000, 'v'))}}); };
    updateAll({{lab, large()}, {lab2, large()}, {lab, large()}});
    EXPECT_FALSE(sameTransaction());
    updateAll({{lab, nested(100)}, {lab2, nested(40)}});
    EXPECT_FALSE(sameTransaction());
    updateAll({{lab, num(5)}, {lab2, num(6)}});
    EXPECT_FALSE(sameTransaction());

    for (const auto& [domain, key] : std::vector<std::pair<std::string, std::string>>{
             {"org.example.lab", "k6"}, {"org.example.lab2", "k5"}, {"org.example.lab2", "k8"}})
        EXPECT_TRUE(fetch(*store, domain, key).get<ServerResponse::SettingsFetched>())
            << domain << " " << key;
}

// A copy that cannot write (a full disk) falls behind: it says so once, not at every try, and
// does not take etcd for unreachable. A batch whose later group then fails in the copy keeps
// the outcomes of the groups before it, which etcd and the copy committed: the failure is the
// later group's alone, which goes again and succeeds once the copy can write.
TEST_F(FleetStoreTest, AGroupThatFailsInTheCopyLeavesTheGroupsBeforeItAnswered) {
    FailingWrites disk;
    options.maxChangeBytes = 64 * 1024;
    auto store = start();
    std::vector<UUID> roots;
    for (const std::string domain : {"org.example.lab", "org.example.lab2"}) {
        roots.push_back(newId());
        ASSERT_TRUE(succeeded(applyAll(*store, {{Caller{":1.1", 0},
                                                 ClientRequest::CreateSettings{
                                                     Blob(clientBlob(dict(roots.back(), {}))),
                                                     domain, Access::sharedUser}}})
                                  .at(0)));
    }
    // lab2 changes elsewhere while the copy cannot write: the copy falls behind.
    LogCapture logs;
    disk.failAll();
    auto etcd = client();
    const auto head = etcd->get(FleetKeys(prefix()).head("org.example.lab2"), in(5s)).kvs.at(0);
    etcd->put(head.key, head.value, in(5s));
    ASSERT_TRUE(within(30s, [&] {
        return logs->count(LogLevel::debug, "Still can't bring the fleet's copy up to date") >= 2;
    }));
    EXPECT_EQ(logs->count(LogLevel::error, "Can't bring the fleet's copy up to date"), 1u);
    EXPECT_TRUE(store->reachable());

    // Two changes too large to share a transaction: lab's commits, lab2's then catches up with
    // the change made elsewhere, which the copy fails to write.
    disk.allowCommits(1);
    const std::vector<PendingRequest> requests{
        {Caller{":1.2", 0},
         setting(roots[0], 0, "k", dict(newId(), {{"v", str(std::string(40000, 'v'))}}), true)},
        {Caller{":1.3", 0},
         setting(roots[1], 0, "k", dict(newId(), {{"v", str(std::string(40000, 'v'))}}), true)}};
    const auto outcomes = store->applyBatch(requests);
    store->changesPosted();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].answer.get<ServerResponse::SettingsUpdated>())
        << outcomes[0].answer.description();
    EXPECT_THROW(store->applyBatch(std::span(requests).subspan(1)), DatabaseError);

    disk.succeed();
    const auto retried = applyAll(*store, {requests[1]});
    EXPECT_TRUE(retried.at(0).answer.get<ServerResponse::SettingsUpdated>())
        << retried.at(0).answer.description();
    for (const std::string domain : {"org.example.lab", "org.example.lab2"})
        EXPECT_TRUE(fetch(*store, domain, "k").get<ServerResponse::SettingsFetched>()) << domain;
    EXPECT_TRUE(within(
        30s,
        [&] { return logs->contains(LogLevel::info, "The fleet's copy is up to date again."); }))
        << [&] {
               std::string all;
               for (const auto& line : logs->lines())
                   all += line.logger + ": " + line.message + "\n";
               return all;
           }();
}

}  // namespace
}  // namespace velkor::fleet::test
