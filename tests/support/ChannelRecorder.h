#pragma once

#include <atomic>
#include <memory>

#include "channel/VirtualChannelToServer.h"
#include "support/BlockingQueue.h"

namespace velkor::test {

/// Records what a transport emits from its channel: every tagged answer, and whether the
/// stream completed.
class ChannelRecorder {
  public:
    explicit ChannelRecorder(const std::shared_ptr<VirtualChannelToServer>& channel)
        : state_(std::make_shared<State>()) {
        subscription_ = channel->events().subscribe(
            [state = state_](const Tagged<ServerResponse>& m) { state->answers.push(m); }, {},
            [state = state_] {
                state->completions.fetch_add(1);
                state->completed.push(true);
            });
    }
    ~ChannelRecorder() {
        if (subscription_)
            subscription_->dispose();
    }
    ChannelRecorder(const ChannelRecorder&) = delete;
    ChannelRecorder& operator=(const ChannelRecorder&) = delete;

    /// The next answer, or none within `timeout`.
    std::optional<Tagged<ServerResponse>> next(
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return state_->answers.next(timeout);
    }
    /// Waits up to `timeout` for the stream to complete.
    bool waitForCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return state_->completed.next(timeout).has_value();
    }
    int completions() const { return state_->completions.load(); }
    std::size_t pending() const { return state_->answers.size(); }

  private:
    struct State {
        BlockingQueue<Tagged<ServerResponse>> answers;
        BlockingQueue<bool> completed;
        std::atomic<int> completions{0};
    };
    std::shared_ptr<State> state_;
    rx::DisposablePtr subscription_;
};

}  // namespace velkor::test
