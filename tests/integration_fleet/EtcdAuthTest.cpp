#include <stdexcept>
#include <thread>

#include "FleetTesting.h"
#include "fleet/EtcdError.h"

namespace velkor::fleet::test {
namespace {

// A cluster of its own, since enabling authentication is cluster-wide; tokens live one second
// without use, so that their expiry can be waited out.
TEST(EtcdAuthTest, CallsCarryTheUsersTokenAndRenewItWhenEtcdForgetsIt) {
    velkor::test::EtcdCluster cluster({"--auth-token-ttl", "1"});
    ASSERT_TRUE(cluster.etcdctl("user add root --new-user-password=rootpw"));
    ASSERT_TRUE(cluster.etcdctl("user add fleet --new-user-password=secret"));
    ASSERT_TRUE(cluster.etcdctl("role add fleet"));
    ASSERT_TRUE(cluster.etcdctl("role grant-permission fleet --prefix=true readwrite /fleet/"));
    ASSERT_TRUE(cluster.etcdctl("user grant-role fleet fleet"));
    ASSERT_TRUE(cluster.etcdctl("auth enable"));

    EtcdOptions options;
    options.endpoints = cluster.endpoints();
    options.user = "fleet";
    options.password = "secret";
    EtcdClient etcd(options);
    const int64_t first = etcd.put("/fleet/k", "1", in(5s));
    WatchLog log;
    auto watcher = etcd.watch("/fleet/", first + 1, log.callback());

    // The token expires while unused; the next call is refused with it, authenticates anew and
    // goes through, and so does a watch that has to start again.
    std::this_thread::sleep_for(2500ms);
    const int64_t second = etcd.put("/fleet/k", "2", in(5s));
    EXPECT_EQ(etcd.get("/fleet/k", in(5s)).kvs.at(0).value, "2");
    ASSERT_TRUE(log.waitForRevision(second));
    cluster.kill(cluster.memberOf(watcher->endpoint()));
    // The member killed may have led: the next put waits for the election to end, since a
    // member that has yet to notice its leader is gone takes the put and never answers it.
    for (const auto until = std::chrono::steady_clock::now() + 30s;;) {
        try {
            cluster.leader();
            break;
        } catch (const std::runtime_error&) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no member leads";
            std::this_thread::sleep_for(100ms);
        }
    }
    std::this_thread::sleep_for(1500ms);
    const int64_t third = etcd.put("/fleet/k", "3", in(5s));
    ASSERT_TRUE(log.waitForRevision(third));
    std::vector<int64_t> revisions;
    for (const auto& event : log.events())
        revisions.push_back(event.kv.modRevision);
    EXPECT_EQ(revisions, (std::vector<int64_t>{second, third}));

    // Outside its permissions, with a wrong password, or with no user at all, the user is
    // refused as such.
    auto expectDenied = [&](auto&& call) {
        bool denied = false;
        try {
            call();
        } catch (const EtcdError& error) {
            denied = error.kind() == EtcdError::Kind::denied;
        }
        EXPECT_TRUE(denied);
    };
    expectDenied([&] { etcd.put("/elsewhere", "x", in(5s)); });
    options.password = "wrong";
    expectDenied([&] { EtcdClient(options).get("/fleet/k", in(5s)); });
    options.user.clear();
    expectDenied([&] { EtcdClient(options).get("/fleet/k", in(5s)); });
}

}  // namespace
}  // namespace velkor::fleet::test
