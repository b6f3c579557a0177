#include "FleetTesting.h"

namespace velkor::fleet::test {
namespace {

/// A client of every member, and a key of the test's own.
class EtcdClientTest : public FleetTest {
  protected:
    std::unique_ptr<EtcdClient> etcd = client();
    const std::string key = prefix() + "k";
};

TEST_F(EtcdClientTest, TransactionsCompareExactModRevisions) {
    // Creation only where the key is absent: the second attempt runs the failure branch, which
    // reads the key as the first one left it.
    auto created = etcd->txn({EtcdCompare::absent(key)}, {EtcdOp::put(key, "one")},
                             {EtcdOp::get(key)}, in(5s));
    ASSERT_TRUE(created.succeeded);
    const int64_t first = created.revision;
    auto again = etcd->txn({EtcdCompare::absent(key)}, {EtcdOp::put(key, "two")},
                           {EtcdOp::get(key)}, in(5s));
    EXPECT_FALSE(again.succeeded);
    EXPECT_EQ(again.revision, first);
    ASSERT_EQ(again.results.size(), 1u);
    ASSERT_EQ(again.results[0].kvs.size(), 1u);
    EXPECT_EQ(again.results[0].kvs[0].value, "one");
    EXPECT_EQ(again.results[0].kvs[0].modRevision, first);

    // A change from the revision seen wins once; the same change from the same revision again
    // finds the key moved on and changes nothing.
    auto changed = etcd->txn({EtcdCompare::modRevisionIs(key, first)},
                             {EtcdOp::put(key, "three"), EtcdOp::get(key)}, {}, in(5s));
    ASSERT_TRUE(changed.succeeded);
    EXPECT_GT(changed.revision, first);
    ASSERT_EQ(changed.results.size(), 2u);
    EXPECT_EQ(changed.results[1].kvs.at(0).value, "three");
    auto stale = etcd->txn({EtcdCompare::modRevisionIs(key, first)}, {EtcdOp::put(key, "four")},
                           {EtcdOp::get(key)}, in(5s));
    EXPECT_FALSE(stale.succeeded);
    EXPECT_EQ(stale.results.at(0).kvs.at(0).modRevision, changed.revision);

    // One failing compare among several runs no success operation at all.
    const std::string other = prefix() + "other";
    auto mixed = etcd->txn(
        {EtcdCompare::modRevisionIs(key, changed.revision), EtcdCompare::modRevisionIs(other, 7)},
        {EtcdOp::put(key, "five"), EtcdOp::put(other, "x")}, {}, in(5s));
    EXPECT_FALSE(mixed.succeeded);
    auto now = etcd->getPrefix(prefix(), in(5s));
    ASSERT_EQ(now.kvs.size(), 1u);
    EXPECT_EQ(now.kvs[0].value, "three");
    EXPECT_EQ(now.kvs[0].version, 2);
    EXPECT_EQ(now.revision, changed.revision);

    // A removal inside a transaction reports what it removed.
    auto removed = etcd->txn({EtcdCompare::modRevisionIs(key, changed.revision)},
                             {EtcdOp::remove(key)}, {}, in(5s));
    ASSERT_TRUE(removed.succeeded);
    EXPECT_EQ(removed.results.at(0).deleted, 1);
    EXPECT_TRUE(etcd->get(key, in(5s)).kvs.empty());
}

TEST_F(EtcdClientTest, PrefixRangesHoldExactlyTheKeysUnderThePrefixAtARevisionHoweverLarge) {
    const std::string base = prefix();
    etcd->put(base + "a/2", "two", in(5s));
    etcd->put(base + "a/1", "one", in(5s));
    etcd->put(base + "ab", "beside", in(5s));
    etcd->put(base + "a", "the prefix itself", in(5s));
    const int64_t before = etcd->put(base + "a/3", "three", in(5s));
    const int64_t after = etcd->put(base + "a/3", "THREE", in(5s));
    etcd->put(base + "b/1", "elsewhere", in(5s));

    auto range = etcd->getPrefix(base + "a/", in(5s));
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& kv : range.kvs)
        found.emplace_back(kv.key.substr(base.size()), kv.value);
    EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                         {"a/1", "one"}, {"a/2", "two"}, {"a/3", "THREE"}}));
    EXPECT_GE(range.revision, after);

    auto old = etcd->getPrefix(base + "a/", in(5s), before);
    ASSERT_EQ(old.kvs.size(), 3u);
    EXPECT_EQ(old.kvs[2].value, "three");
    EXPECT_EQ(old.kvs[2].modRevision, before);

    EXPECT_EQ(etcd->removePrefix(base + "a/", in(5s)) > after, true);
    EXPECT_TRUE(etcd->getPrefix(base + "a/", in(5s)).kvs.empty());
    EXPECT_EQ(etcd->getPrefix(base, in(5s)).kvs.size(), 3u);
    EXPECT_EQ(etcd->get(base + "a", in(5s)).kvs.at(0).value, "the prefix itself");

    // Ranges larger than gRPC's default message limit are read. Not a matter of threads: megabyte
    // commits under ThreadSanitizer outlast any deadline here.
#ifndef __SANITIZE_THREAD__
    // Three values of 1.4 MiB: each within etcd's request limit of 1.5 MiB, together beyond
    // 4 MiB. Large commits are slow on a busy machine; the deadlines only bound the test.
    const std::string large(1400 * 1024, 'x');
    for (int i = 0; i < 3; ++i)
        etcd->put(base + "large/" + std::to_string(i), large, in(30s));
    auto largeRange = etcd->getPrefix(base + "large/", in(30s));
    ASSERT_EQ(largeRange.kvs.size(), 3u);
    for (const auto& kv : largeRange.kvs)
        EXPECT_EQ(kv.value, large);
    etcd->removePrefix(base + "large/", in(30s));
#endif
}

TEST_F(EtcdClientTest, CallsFailOverWhenTheMemberInUseIsKilled) {
    // The member in use is a follower: killing the leader stops writes until an election,
    // which is the cluster's matter, not the client's.
    const int leader = cluster().leader();
    const int follower = leader % 3 + 1;
    etcd = client(follower);
    etcd->put(key, "before", in(5s));
    ASSERT_EQ(cluster().memberOf(etcd->currentEndpoint()), follower);

    kill(follower);
    int64_t revision = 0;
    if (const auto error = etcdErrorOf([&] { revision = etcd->put(key, "after", in(5s)); })) {
        // Should the request have gone out on the connection as it broke (gRPC had not yet
        // read the member's end of it), it may have been applied and is not resent; the
        // caller hears so and the next call goes elsewhere.
        ASSERT_EQ(error->kind(), EtcdError::Kind::unavailable) << error->what();
        ASSERT_TRUE(error->maybeApplied()) << error->what();
        revision = etcd->put(key, "after", in(5s));
    }
    const int now = cluster().memberOf(etcd->currentEndpoint());
    EXPECT_NE(now, follower);
    auto read = etcd->get(key, in(5s));
    ASSERT_EQ(read.kvs.size(), 1u);
    EXPECT_EQ(read.kvs[0].value, "after");
    EXPECT_EQ(read.kvs[0].modRevision, revision);

    // The member that answered stays in use: reads and writes keep going there.
    etcd->txn({EtcdCompare::modRevisionIs(key, revision)}, {EtcdOp::put(key, "again")}, {}, in(5s));
    EXPECT_EQ(cluster().memberOf(etcd->currentEndpoint()), now);

    // The killed member, back, has every change.
    resume(follower);
    cluster().waitHealthy();
    auto fromRevived = client(follower, 1)->get(key, in(5s));
    ASSERT_EQ(fromRevived.kvs.size(), 1u);
    EXPECT_EQ(fromRevived.kvs[0].value, "again");
}

// A cluster of its own that speaks TLS only and demands a client certificate.
TEST(EtcdTlsTest, CallsAndWatchesGoOverTlsWithTheGivenCertificatesAndNotWithout) {
    velkor::test::EtcdCluster cluster({}, true);
    auto options = endpointsOf(cluster.endpoints());
    options.caFile = cluster.caFile();
    options.certFile = cluster.certFile();
    options.keyFile = cluster.keyFile();
    EtcdClient etcd(options);
    const int64_t first = etcd.put("/fleet/k", "1", in(5s));
    WatchLog log;
    auto watcher = etcd.watch("/fleet/", first + 1, log.callback());
    const int64_t second = etcd.put("/fleet/k", "2", in(5s));
    ASSERT_TRUE(log.waitForRevision(second));
    EXPECT_EQ(log.events().at(0).kv.value, "2");
    EXPECT_EQ(etcd.get("/fleet/k", in(5s)).kvs.at(0).value, "2");

    // Without the client certificate, or without TLS at all, no member serves the call (the
    // handshake fails, or has not succeeded by the deadline).
    auto unavailable = [&](const EtcdOptions& without) {
        return unreachable(etcdErrorOf([&] { EtcdClient(without).get("/fleet/k", in(700ms)); }));
    };
    EtcdOptions noCertificate = options;
    noCertificate.certFile.clear();
    noCertificate.keyFile.clear();
    EXPECT_TRUE(unavailable(noCertificate));
    EXPECT_TRUE(unavailable(endpointsOf(cluster.endpoints())));
    // A CA that did not sign the members' certificates does not trust them.
    EtcdOptions otherCa = options;
    otherCa.caFile = cluster.certFile();
    EXPECT_TRUE(unavailable(otherCa));
}

}  // namespace
}  // namespace velkor::fleet::test
