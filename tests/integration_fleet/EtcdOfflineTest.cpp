#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "FleetTesting.h"
#include "fleet/EtcdError.h"

namespace velkor::fleet::test {
namespace {

TEST(EtcdTypesTest, PrefixEndsCoverExactlyTheKeysUnderThePrefix) {
    EXPECT_EQ(etcdPrefixEnd("/fleet/"), "/fleet0");
    EXPECT_EQ(etcdPrefixEnd("a\xff"), "b");
    EXPECT_EQ(etcdPrefixEnd("\xff\xff"), std::string(1, '\0'));
    EXPECT_EQ(etcdPrefixEnd(""), std::string(1, '\0'));
}

TEST(EtcdOptionsTest, UnusableOptionsAreRejectedAtConstruction) {
    auto kindOf = [](const EtcdOptions& options) {
        try {
            EtcdClient client(options);
        } catch (const EtcdError& error) {
            return std::optional(error.kind());
        }
        return std::optional<EtcdError::Kind>();
    };
    EXPECT_EQ(kindOf({}), EtcdError::Kind::rejected);
    EtcdOptions options;
    options.endpoints = {"127.0.0.1:1"};
    options.caFile = "/nonexistent/ca.pem";
    EXPECT_EQ(kindOf(options), EtcdError::Kind::rejected);
    options.caFile.clear();
    options.certFile = "/etc/hostname";
    EXPECT_EQ(kindOf(options), EtcdError::Kind::rejected);
    options.keyFile = "/etc/hostname";
    EXPECT_EQ(kindOf(options), std::nullopt);
    options = {};
    options.endpoints = {"http://127.0.0.1:1"};
    EXPECT_EQ(EtcdClient(options).currentEndpoint(), "127.0.0.1:1");
}

/// A socket that accepts connections (the kernel completes them) but never answers: a member
/// that hangs.
class SilentListener {
  public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on loopback");
        endpoint_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~SilentListener() { close(fd_); }
    const std::string& endpoint() const { return endpoint_; }

  private:
    int fd_ = -1;
    std::string endpoint_;
};

TEST(EtcdOfflineTest, CallsToHangingOrAbsentMembersEndByTheirDeadline) {
    SilentListener silent;
    EtcdOptions options;
    options.endpoints = {silent.endpoint(), "127.0.0.1:1"};
    EtcdClient etcd(options);
    for (const bool write : {true, false}) {
        const auto start = std::chrono::steady_clock::now();
        try {
            if (write)
                etcd.put("/k", "v", in(700ms));
            else
                etcd.get("/k", in(700ms));
            ADD_FAILURE() << "a call without a member succeeded";
        } catch (const EtcdError& error) {
            // A write never got out to the silent member (its connection never became ready),
            // so it surely applied nothing.
            if (write) {
                EXPECT_FALSE(error.maybeApplied()) << error.what();
            }
            EXPECT_TRUE(error.kind() == EtcdError::Kind::unavailable ||
                        error.kind() == EtcdError::Kind::timeout)
                << error.what();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

// A transaction of one round ends as soon as every member has refused it, however far its
// deadline; one that goes round until its deadline keeps trying.
TEST(EtcdOfflineTest, ATransactionOfOneRoundEndsWhenEveryMemberRefusedIt) {
    EtcdOptions options;
    options.endpoints = {"127.0.0.1:1", "127.0.0.1:2"};
    EtcdClient etcd(options);
    for (const auto retry : {EtcdRetry::oneRound, EtcdRetry::untilDeadline}) {
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = retry == EtcdRetry::oneRound ? in(30s) : in(1500ms);
        try {
            etcd.txn({}, {EtcdOp::put("/k", "v")}, {}, deadline, retry);
            ADD_FAILURE() << "a transaction without a member succeeded";
        } catch (const EtcdError& error) {
            EXPECT_FALSE(error.maybeApplied()) << error.what();
            EXPECT_EQ(error.kind(), EtcdError::Kind::unavailable) << error.what();
        }
        const auto took = std::chrono::steady_clock::now() - start;
        if (retry == EtcdRetry::oneRound)
            EXPECT_LT(took, 10s);
        else
            EXPECT_GE(took, 1400ms);
    }
}

TEST(EtcdOfflineTest, WatchersStopPromptlyWhateverTheirMemberDoes) {
    SilentListener silent;
    for (const std::string& endpoint : {silent.endpoint(), std::string("127.0.0.1:1")}) {
        EtcdOptions options;
        options.endpoints = {endpoint};
        EtcdClient etcd(options);
        WatchLog log;
        auto watcher = etcd.watch("/fleet/", 0, log.callback());
        std::this_thread::sleep_for(200ms);
        const auto start = std::chrono::steady_clock::now();
        watcher.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_TRUE(log.updates().empty());
    }
}

}  // namespace
}  // namespace velkor::fleet::test
