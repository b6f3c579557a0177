#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace velkor::test {

/// A local three-member etcd cluster for one test program or benchmark, run through
/// scripts/etcd-cluster: the constructor starts it and waits until it is healthy, the destructor
/// tears it down. Members are numbered 1 to 3; member n serves endpoints()[n - 1]. Throws
/// std::runtime_error when a step of the script fails.
class EtcdCluster {
  public:
    /// `etcdOptions` are passed to every member (e.g. {"--auth-token-ttl", "1"}). With `tls`,
    /// members serve clients over TLS only and demand a client certificate.
    explicit EtcdCluster(const std::vector<std::string>& etcdOptions = {}, bool tls = false);
    ~EtcdCluster();
    EtcdCluster(const EtcdCluster&) = delete;
    EtcdCluster& operator=(const EtcdCluster&) = delete;

    /// The members' client endpoints, "127.0.0.1:port".
    const std::vector<std::string>& endpoints() const { return endpoints_; }
    /// With TLS: the PEM files of the CA that signed the members' certificates, and of a
    /// client certificate and key the members accept.
    const std::string& caFile() const { return caFile_; }
    const std::string& certFile() const { return certFile_; }
    const std::string& keyFile() const { return keyFile_; }
    /// The number of the member serving `endpoint`; 0 for none.
    int memberOf(const std::string& endpoint) const;

    /// Kills member n (SIGKILL) or stops it (SIGTERM), and waits until it has exited.
    void kill(int member) { step("kill", member); }
    void stop(int member) { step("stop", member); }
    /// Starts a killed or stopped member again and waits until it listens.
    void resume(int member) { step("resume", member); }
    /// Freezes member n (SIGSTOP) and waits until every thread of it has stopped: it keeps its
    /// connections and answers nothing, as when the network drops its packets; `thaw` lets it
    /// go on (SIGCONT).
    void freeze(int member) { signal(member, SIGSTOP); }
    void thaw(int member) { signal(member, SIGCONT); }
    /// Waits (bounded) until every running member reports healthy.
    void waitHealthy();
    /// The member that leads.
    int leader();
    /// Runs etcdctl on every endpoint with `arguments`; returns whether it succeeded.
    bool etcdctl(const std::string& arguments);
    /// The size of each member's database file, as `etcdctl endpoint status` reports it.
    std::vector<long long> databaseSizes();

  private:
    std::string run(const std::string& arguments);
    void step(const std::string& command, int member);
    void signal(int member, int number);

    std::string directory_;
    std::string etcdctl_;  // etcdctl with every endpoint, followed by its arguments
    std::vector<std::string> endpoints_;
    std::string caFile_;
    std::string certFile_;
    std::string keyFile_;
};

}  // namespace velkor::test
