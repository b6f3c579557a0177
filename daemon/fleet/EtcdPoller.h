#pragma once

#include <grpcpp/alarm.h>
#include <grpcpp/grpcpp.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velkor::fleet {

/// Keeps gRPC's connections to the members alive between calls. gRPC's synchronous API reads
/// the network only while some call waits, so without this a member that closed its connection
/// (it was killed) is noticed only by the next call, which then fails after its request went
/// out, and a reconnection to a member that is back stalls mid-handshake. This thread waits on
/// a completion queue (which lets gRPC process network events meanwhile) and once a second asks
/// every channel that is not connected to connect.
class EtcdPoller {
  public:
    explicit EtcdPoller(std::vector<std::shared_ptr<grpc::Channel>> channels);
    /// Ends the thread at once.
    ~EtcdPoller();
    EtcdPoller(const EtcdPoller&) = delete;
    EtcdPoller& operator=(const EtcdPoller&) = delete;

  private:
    void run();

    std::vector<std::shared_ptr<grpc::Channel>> channels_;
    grpc::CompletionQueue queue_;
    std::mutex mutex_;
    bool closing_ = false;
    std::unique_ptr<grpc::Alarm> alarm_;
    std::thread thread_;
};

}  // namespace velkor::fleet
