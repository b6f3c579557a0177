#pragma once

#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "channel/ConnectionToServer.h"
#include "internals/Tagged.h"
#include "velkor/rx/SerialEventLoopScheduler.h"

namespace velkor::test {

/// A stand-in for the settings daemon on the far side of an in-process channel. It records every
/// request and answers from a thread of its own, as a real transport delivers answers: with the
/// answers queued by `answerNext`, else with the handler's, else subscription flags are accepted
/// and everything else fails with fileDoesNotExist. Tests can push unsolicited messages.
class FakeDaemon final : public ConnectionToServer {
  public:
    /// Gives the answer to one request, or no answer at all.
    using Handler = std::function<std::optional<ServerResponse>(const ClientRequest&)>;

    static std::shared_ptr<FakeDaemon> make() {
        std::shared_ptr<FakeDaemon> daemon(new FakeDaemon());
        std::weak_ptr<FakeDaemon> weak = daemon;
        daemon->subscription_ = daemon->channel_->requestSubject.asObservable().subscribe(
            [weak](const Tagged<ClientRequest>& request) {
                if (auto self = weak.lock())
                    self->onRequest(request);
            });
        return daemon;
    }
    ~FakeDaemon() override { subscription_->dispose(); }

    std::shared_ptr<VirtualChannelToServer> virtualChannel() override { return channel_; }

    /// The answer to the next request that arrives (queued answers are used in order).
    void answerNext(ServerResponse response) {
        std::lock_guard lock(mutex_);
        scripted_.push_back(std::move(response));
    }
    /// Answers every request not covered by answerNext.
    void setHandler(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    /// Pushes a message under a fresh tag, after everything already queued for delivery.
    void push(ServerResponse message) { deliver(UUID::random(), std::move(message)); }
    void pushNoteChanges(std::vector<ChangeNotificationPtr> changes,
                         std::vector<std::string> paths) {
        push(ServerResponse::NoteChanges{std::move(changes), std::move(paths)});
    }

    std::vector<Tagged<ClientRequest>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    /// Blocks until everything queued for delivery has been delivered.
    void waitUntilIdle() {
        std::promise<void> idle;
        outbox_.schedule([&] { idle.set_value(); });
        idle.get_future().wait();
    }

  private:
    FakeDaemon() = default;
    void onRequest(const Tagged<ClientRequest>& request) {
        std::optional<ServerResponse> answer;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            if (!scripted_.empty()) {
                answer = std::move(scripted_.front());
                scripted_.pop_front();
            }
            handler = handler_;
        }
        if (!answer && handler)
            answer = handler(request.payload);
        else if (!answer && request.payload.get<ClientRequest::SetHasSubscription>())
            answer = ServerResponse::RequestSucceeded{};
        else if (!answer)
            answer = ServerResponse::RequestHasFailed{VKError::fileDoesNotExist};
        if (answer)
            deliver(request.tag, std::move(*answer));
    }
    void deliver(const UUID& tag, ServerResponse message) {
        outbox_.schedule([channel = channel_, tag, message = std::move(message)] {
            channel->responseSubject.onNext({tag, message});
        });
    }

    std::shared_ptr<VirtualChannelToServer> channel_ = std::make_shared<VirtualChannelToServer>();
    rx::DisposablePtr subscription_;
    mutable std::mutex mutex_;
    std::vector<Tagged<ClientRequest>> requests_;
    std::deque<ServerResponse> scripted_;
    Handler handler_;
    // Last, so that it goes first: what is queued for delivery is delivered before the rest goes.
    rx::SerialEventLoopScheduler outbox_{"FakeDaemon"};
};

}  // namespace velkor::test
