#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServer.h"
#include "support/BlockingQueue.h"
#include "support/FakeBusDaemon.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"

namespace velkor::test {

/// Records what a transport emits from its channel: every tagged answer, and
/// its completion.
class ChannelRecorder {
  public:
    explicit ChannelRecorder(const std::shared_ptr<VirtualChannelToServer>& channel) {
        subscription_ = channel->events().subscribe(
            [state = state_](const Tagged<ServerResponse>& m) { state->answers.push(m); }, {},
            [state = state_] {
                state->completions.fetch_add(1);
                state->completed.push(true);
            });
    }
    ~ChannelRecorder() { subscription_->dispose(); }
    ChannelRecorder(const ChannelRecorder&) = delete;
    ChannelRecorder& operator=(const ChannelRecorder&) = delete;

    /// The next answer, or none within ten seconds.
    std::optional<Tagged<ServerResponse>> next() { return state_->answers.next(); }
    /// Waits up to ten seconds for the stream to complete.
    bool waitForCompletion() { return state_->completed.next().has_value(); }
    int completions() const { return state_->completions.load(); }
    std::size_t pending() const { return state_->answers.size(); }

  private:
    struct State {
        BlockingQueue<Tagged<ServerResponse>> answers;
        BlockingQueue<bool> completed;
        std::atomic<int> completions{0};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    rx::DisposablePtr subscription_;
};

/// A private bus with a stand-in daemon on it and a transport connected to that
/// daemon, with the transport's answers recorded and every log line captured.
class TransportFixture : public ::testing::Test {
  protected:
    static constexpr const char* kService = "org.velkor.SettingsDaemon";

    void SetUp() override { start(); }
    void TearDown() override {
        answers.reset();
        transport.reset();
        daemon.reset();
    }

    /// (Re)starts the daemon and a transport to it.
    void start() {
        TearDown();
        daemon = std::make_unique<FakeBusDaemon>(bus.address(), kService);
        transport = XpcChannelToServer::make(kService, bus.address());
        answers = std::make_unique<ChannelRecorder>(transport->virtualChannel());
    }

    /// Sends `request` through the channel and gives the unique name it came
    /// from, as the daemon learns whom to answer.
    std::string clientName(const ClientRequest& request = ClientRequest::DeleteSettings{"a", 1}) {
        transport->virtualChannel()->onNext({UUID::random(), request});
        auto received = daemon->nextRequest();
        EXPECT_TRUE(received.has_value());
        return received ? received->sender : std::string();
    }

    /// A caller on the transport's channel whose requests wait far longer than any test runs: one
    /// that comes back was released by the transport, not by its time-out.
    std::shared_ptr<VirtualChannelSyncAdapter<VirtualChannelToServer>> makeAdapter() {
        return VirtualChannelSyncAdapter<VirtualChannelToServer>::make(transport->virtualChannel(),
                                                                       std::chrono::hours(1));
    }

    LogCapture logs;
    PrivateBus bus;
    std::unique_ptr<FakeBusDaemon> daemon;
    std::shared_ptr<XpcChannelToServer> transport;
    std::unique_ptr<ChannelRecorder> answers;
};

}  // namespace velkor::test
