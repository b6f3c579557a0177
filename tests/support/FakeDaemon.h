#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "channel/ConnectionToServer.h"
#include "internals/Tagged.h"

namespace velkor::test {

/// A stand-in for the settings daemon on the far side of an in-process channel. It records every
/// request and answers from its own thread, as a real transport delivers answers: from answers
/// queued by the test (`answerNext`), else from a per-test handler, else from a small model
/// (deletion of known files, updates that succeed, subscription flags). Tests can push
/// unsolicited messages and end the channel.
class FakeDaemon final : public ConnectionToServer,
                         public std::enable_shared_from_this<FakeDaemon> {
  public:
    /// Gives the answer to one request, or no answer at all.
    using Handler = std::function<std::optional<ServerResponse>(const ClientRequest&)>;

    static std::shared_ptr<FakeDaemon> make();
    ~FakeDaemon() override;

    std::shared_ptr<VirtualChannelToServer> virtualChannel() override { return channel_; }

    /// The answer to the next request that arrives (queued answers are used in order).
    void answerNext(ServerResponse response);
    /// Answers every request not covered by answerNext.
    void setHandler(Handler handler);
    /// Requests are recorded but get no answer (callers run into their time-out).
    void setSilent(bool silent);

    /// Pushes a message under a fresh tag, after everything already queued for delivery.
    void push(ServerResponse message);
    void pushNoteChanges(std::vector<ChangeNotificationPtr> changes,
                         std::vector<std::string> paths);
    /// Delivers `message` under `tag` (e.g. a late answer to a request that timed out).
    void deliver(const UUID& tag, ServerResponse message);
    /// Completes the answer stream, after everything already queued for delivery.
    void endChannel();

    /// Model: a settings file with this root id exists for (domain, user).
    void addFile(const std::string& domain, std::uint32_t user, const UUID& rootId);

    std::vector<Tagged<ClientRequest>> requests() const;
    std::size_t requestCount() const;
    /// Blocks until at least `n` requests have arrived.
    Tagged<ClientRequest> waitForRequest(std::size_t n);
    /// Blocks until everything queued for delivery has been delivered.
    void waitUntilIdle();
    bool requestStreamCompleted() const;

  private:
    FakeDaemon();
    void start();
    void onRequest(const Tagged<ClientRequest>& request);
    std::optional<ServerResponse> modelAnswer(const ClientRequest& request);
    void enqueue(std::function<void()> work);
    void run();

    std::shared_ptr<VirtualChannelToServer> channel_;
    rx::DisposablePtr subscription_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Tagged<ClientRequest>> requests_;
    std::deque<ServerResponse> scripted_;
    Handler handler_;
    bool silent_ = false;
    bool requestStreamCompleted_ = false;
    std::map<std::pair<std::string, std::uint32_t>, UUID> files_;
    std::deque<std::function<void()>> outbox_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace velkor::test
