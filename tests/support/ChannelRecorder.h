#pragma once

#include <atomic>
#include <memory>

#include "channel/VirtualChannelToServer.h"
#include "support/BlockingQueue.h"

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

}  // namespace velkor::test
