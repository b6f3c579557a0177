#include "FakeDaemon.h"

#include <future>

namespace velkor::test {

std::shared_ptr<FakeDaemon> FakeDaemon::make() {
    std::shared_ptr<FakeDaemon> daemon(new FakeDaemon());
    std::weak_ptr<FakeDaemon> weak = daemon;
    daemon->subscription_ = daemon->channel_->requestSubject.asObservable().subscribe(
        [weak](const Tagged<ClientRequest>& request) {
            if (auto self = weak.lock())
                self->onRequest(request);
        });
    return daemon;
}

void FakeDaemon::answerNext(ServerResponse response) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(response));
}

void FakeDaemon::onRequest(const Tagged<ClientRequest>& request) {
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

void FakeDaemon::deliver(const UUID& tag, ServerResponse message) {
    outbox_.schedule([channel = channel_, tag, message = std::move(message)] {
        channel->responseSubject.onNext({tag, message});
    });
}

std::vector<Tagged<ClientRequest>> FakeDaemon::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeDaemon::waitUntilIdle() {
    std::promise<void> idle;
    outbox_.schedule([&] { idle.set_value(); });
    idle.get_future().wait();
}

}  // namespace velkor::test
