#pragma once

#include <grpcpp/grpcpp.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fleet/EtcdOptions.h"
#include "fleet/EtcdPoller.h"
#include "fleet/EtcdTypes.h"

namespace velkor::fleet {

/// The connections to an etcd cluster's members, shared by a client's calls and its watches:
/// one gRPC channel per endpoint with the TLS credentials of the options, the member that
/// answered last (calls start there), the authentication token when the options name a user,
/// and the poller that keeps the connections alive between calls. Thread-safe.
class EtcdChannels {
  public:
    /// Throws EtcdError (rejected) when no endpoint is given or a TLS file cannot be read.
    explicit EtcdChannels(const EtcdOptions& options);

    std::size_t size() const { return members_.size(); }
    const std::string& endpoint(std::size_t index) const { return members_[index].endpoint; }
    const std::shared_ptr<grpc::Channel>& channel(std::size_t index) const {
        return members_[index].channel;
    }

    /// The member calls try first: the one that answered last.
    std::size_t preferred() const { return preferred_.load(std::memory_order_relaxed); }
    void prefer(std::size_t index) { preferred_.store(index, std::memory_order_relaxed); }

    /// Adds what every call carries: the token (authenticating through member `index`, by
    /// `deadline`, when there is none yet), and the demand that the member have a leader, so
    /// that a member cut off from its cluster refuses at once instead of letting the call wait.
    /// Returns the token added, empty without authentication. Throws EtcdError when
    /// authentication fails.
    std::string prepare(grpc::ClientContext& context, std::size_t index, EtcdDeadline deadline);

    /// Forgets `token` after etcd rejected it, so that the next call authenticates anew.
    void dropToken(const std::string& token);

    bool authenticates() const { return !user_.empty(); }

  private:
    struct Member {
        std::string endpoint;
        std::shared_ptr<grpc::Channel> channel;
    };

    std::string token(std::size_t index, EtcdDeadline deadline);

    std::vector<Member> members_;
    std::atomic<std::size_t> preferred_{0};
    std::string user_;
    std::string password_;
    std::mutex tokenMutex_;
    std::condition_variable tokenChanged_;
    // Set while one call authenticates, so that concurrent calls wait for its token instead of
    // each asking for its own.
    bool authenticating_ = false;
    std::string token_;
    std::unique_ptr<EtcdPoller> poller_;
};

/// gRPC's deadline for a steady-clock deadline.
std::chrono::system_clock::time_point toSystemDeadline(EtcdDeadline deadline);

}  // namespace velkor::fleet
