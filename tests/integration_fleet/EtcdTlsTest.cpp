#include "FleetTesting.h"

namespace velkor::fleet::test {
namespace {

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
