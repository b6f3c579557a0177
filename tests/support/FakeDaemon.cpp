#include "FakeDaemon.h"

namespace velkor::test {

std::shared_ptr<FakeDaemon> FakeDaemon::make() {
    std::shared_ptr<FakeDaemon> daemon(new FakeDaemon());
    daemon->start();
    return daemon;
}

FakeDaemon::FakeDaemon() : channel_(std::make_shared<VirtualChannelToServer>()) {}

void FakeDaemon::start() {
    std::weak_ptr<FakeDaemon> weak = shared_from_this();
    subscription_ = channel_->requestSubject.asObservable().subscribe(
        [weak](const Tagged<ClientRequest>& request) {
            if (auto self = weak.lock())
                self->onRequest(request);
        },
        {},
        [weak] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                self->requestStreamCompleted_ = true;
                self->changed_.notify_all();
            }
        });
    thread_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
    subscription_->dispose();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FakeDaemon::answerNext(ServerResponse response) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(response));
}

void FakeDaemon::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FakeDaemon::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void FakeDaemon::addFile(const std::string& domain, std::uint32_t user, const UUID& rootId) {
    std::lock_guard lock(mutex_);
    files_[{domain, user}] = rootId;
}

void FakeDaemon::onRequest(const Tagged<ClientRequest>& request) {
    std::optional<ServerResponse> answer;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        changed_.notify_all();
        if (silent_)
            return;
        if (!scripted_.empty()) {
            answer = std::move(scripted_.front());
            scripted_.pop_front();
        }
    }
    if (!answer) {
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        answer = handler ? handler(request.payload) : modelAnswer(request.payload);
    }
    if (answer)
        deliver(request.tag, std::move(*answer));
}

std::optional<ServerResponse> FakeDaemon::modelAnswer(const ClientRequest& request) {
    if (auto* r = request.get<ClientRequest::DeleteSettings>()) {
        std::lock_guard lock(mutex_);
        auto it = files_.find({r->domain, r->user});
        if (it == files_.end())
            return ServerResponse::RequestHasFailed{VKError::fileDoesNotExist};
        UUID root = it->second;
        files_.erase(it);
        return ServerResponse::SettingsDeleted{root};
    }
    if (auto* r = request.get<ClientRequest::UpdateSettings>()) {
        return ServerResponse::SettingsUpdated{ChangeResult::done, r->change->revision + 1};
    }
    if (request.get<ClientRequest::SetHasSubscription>()) {
        return ServerResponse::RequestSucceeded{};
    }
    return ServerResponse::RequestHasFailed{VKError::fileDoesNotExist};
}

void FakeDaemon::push(ServerResponse message) {
    deliver(UUID::random(), std::move(message));
}

void FakeDaemon::pushNoteChanges(std::vector<ChangeNotificationPtr> changes,
                                 std::vector<std::string> paths) {
    push(ServerResponse::NoteChanges{std::move(changes), std::move(paths)});
}

void FakeDaemon::deliver(const UUID& tag, ServerResponse message) {
    enqueue([channel = channel_, tag, message = std::move(message)] {
        channel->responseSubject.onNext({tag, message});
    });
}

void FakeDaemon::endChannel() {
    enqueue([channel = channel_] { channel->responseSubject.onCompleted(); });
}

void FakeDaemon::enqueue(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    outbox_.push_back(std::move(work));
    changed_.notify_all();
}

void FakeDaemon::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || !outbox_.empty(); });
        if (outbox_.empty())
            return;  // stopping, nothing left to deliver
        auto work = std::move(outbox_.front());
        outbox_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

std::vector<Tagged<ClientRequest>> FakeDaemon::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t FakeDaemon::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

Tagged<ClientRequest> FakeDaemon::waitForRequest(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return requests_.size() >= n; });
    return requests_[n - 1];
}

void FakeDaemon::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return outbox_.empty() && !busy_; });
}

bool FakeDaemon::requestStreamCompleted() const {
    std::lock_guard lock(mutex_);
    return requestStreamCompleted_;
}

}  // namespace velkor::test
