#include "bus/StoreWorker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <unordered_set>

#include "basalt/QZLogger.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.StoreWorker");

}  // namespace

StoreWorker::StoreWorker(EventLoop& loop, Store& store) : store_(store) {
    eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    sd_event_source* raw = nullptr;
    if (int r = sd_event_add_io(loop.get(), &raw, eventFd_, EPOLLIN, onReady, this); r < 0) {
        close(eventFd_);
        throw std::system_error(-r, std::generic_category(), "sd_event_add_io");
    }
    source_.reset(raw);
    thread_ = std::thread([this] { run(); });
    reader_ = std::thread([this] { runReads(); });
}

StoreWorker::~StoreWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    readable_.notify_all();
    thread_.join();
    reader_.join();
    source_.reset();
    close(eventFd_);
}

void StoreWorker::give(Work work) {
    bool read = false;
    {
        std::lock_guard lock(mutex_);
        read = changing_ && work.request && store_.readsOnly(work.request->request);
        work_.push_back(std::move(work));
        ++pending_;
    }
    changed_.notify_all();
    if (read)
        readable_.notify_one();
}

void StoreWorker::apply(PendingRequest request, std::function<void(Outcome)> done) {
    request.received = std::chrono::steady_clock::now();
    give(Work{{}, std::move(request), std::move(done), {}});
}

void StoreWorker::applyRequests(std::vector<Work>& requests) {
    std::vector<PendingRequest> pending;
    pending.reserve(requests.size());
    for (auto& work : requests)
        pending.push_back(std::move(*work.request));
    // A batch holds only reads or only changes (see `takeRequests`, `takeQueued`).
    const bool changes = !pending.empty() && !store_.readsOnly(pending.front().request);
    std::size_t next = 0;
    while (next < pending.size()) {
        std::vector<Outcome> outcomes;
        try {
            outcomes = store_.applyBatch(std::span(pending).subspan(next));
        } catch (const std::exception& e) {
            log.error("A request failed in the store: %@", e.what());
            // The first request fails, so that the rest go on.
            post([done = std::move(requests[next++].done)] {
                done(Outcome{ServerResponse::RequestHasFailed{VKError::serverError}, {}});
            });
            if (changes)
                store_.changesPosted();
            continue;
        }
        for (auto& outcome : outcomes) {
            post([done = std::move(requests[next++].done), outcome = std::move(outcome)]() mutable {
                done(std::move(outcome));
            });
        }
        if (changes)
            store_.changesPosted();
        // The store left the rest to catch up first: they go again with the requests that
        // queued meanwhile, which then share its next attempt.
        if (next < pending.size())
            takeQueued(requests, pending, next);
    }
}

void StoreWorker::takeQueued(std::vector<Work>& requests, std::vector<PendingRequest>& pending,
                             std::size_t next) {
    std::lock_guard lock(mutex_);
    while (!work_.empty() && work_.front().request &&
           !store_.readsOnly(work_.front().request->request) &&
           pending.size() - next < kMaxRequests) {
        pending.push_back(std::move(*work_.front().request));
        requests.push_back(std::move(work_.front()));
        work_.pop_front();
    }
}

bool StoreWorker::readNext() const {
    return !work_.empty() && work_.front().request &&
           store_.readsOnly(work_.front().request->request);
}

void StoreWorker::takeRequests(std::vector<Work>& requests, bool reads) {
    while (!work_.empty() && work_.front().request && requests.size() < kMaxRequests &&
           store_.readsOnly(work_.front().request->request) == reads) {
        requests.push_back(std::move(work_.front()));
        work_.pop_front();
    }
}

bool StoreWorker::takeReads(std::vector<Work>* requests) {
    std::unordered_set<std::string> passed;  // the clients of the other work before
    bool found = false;
    for (auto it = work_.begin(); it != work_.end();) {
        if (!it->request) {
            passed.insert(it->about.begin(), it->about.end());
        } else if (store_.readsOnly(it->request->request) &&
                   !passed.contains(it->request->caller.clientId)) {
            if (!requests)
                return true;
            found = true;
            requests->push_back(std::move(*it));
            it = work_.erase(it);
            if (requests->size() == kMaxRequests)
                break;
            continue;
        }
        ++it;
    }
    return found;
}

void StoreWorker::clientGone(std::string clientId) {
    give(Work{[this, clientId] { store_.clientGone(clientId); }, {}, {}, {clientId}});
}

void StoreWorker::releaseHoldings(std::vector<std::pair<std::string, UUID>> holdings) {
    std::vector<std::string> about;
    for (const auto& [client, id] : holdings)
        about.push_back(client);
    give(Work{[this, holdings = std::move(holdings)] { store_.releaseHoldings(holdings); },
              {},
              {},
              std::move(about)});
}

void StoreWorker::abandonClient(std::string clientId,
                                std::function<void(std::vector<HeldContainer>)> done) {
    give(Work{[this, clientId, done = std::move(done)]() mutable {
                  auto held = store_.abandonClient(clientId);
                  post([done = std::move(done), held = std::move(held)]() mutable {
                      done(std::move(held));
                  });
              },
              {},
              {},
              {clientId}});
}

void StoreWorker::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        results_.push_back(std::move(work));
    }
    changed_.notify_all();
    const std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing is lost when this write fails.
    [[maybe_unused]] auto written = write(eventFd_, &one, sizeof one);
}

bool StoreWorker::busy() const {
    std::lock_guard lock(mutex_);
    return pending_ > 0;
}

void StoreWorker::run() {
    for (;;) {
        std::vector<Work> taken;
        bool changes = false;
        bool readsWait = false;
        {
            std::unique_lock lock(mutex_);
            // Other work waits for reads under way: they may be of the client it is about.
            changed_.wait(lock, [&] {
                return stopping_ || (!work_.empty() && (work_.front().request || !reading_));
            });
            if (stopping_)
                return;
            if (work_.front().request) {
                changes = !readNext();
                takeRequests(taken, !changes);
            } else {
                taken.push_back(std::move(work_.front()));
                work_.pop_front();
            }
            changing_ = changes;
            readsWait = changes && takeReads(nullptr);
        }
        if (readsWait)
            readable_.notify_one();  // they may go ahead
        if (taken.front().request)
            applyRequests(taken);
        else
            taken.front().run();
        {
            std::lock_guard lock(mutex_);
            pending_ -= taken.size();
            changing_ = false;
        }
        changed_.notify_all();
    }
}

void StoreWorker::runReads() {
    for (;;) {
        std::vector<Work> taken;
        {
            std::unique_lock lock(mutex_);
            readable_.wait(lock, [&] { return stopping_ || (changing_ && takeReads(nullptr)); });
            if (stopping_)
                return;
            takeReads(&taken);
            reading_ = true;
        }
        applyRequests(taken);
        {
            std::lock_guard lock(mutex_);
            pending_ -= taken.size();
            reading_ = false;
        }
        changed_.notify_all();
    }
}

void StoreWorker::deliver() {
    std::deque<std::function<void()>> results;
    {
        std::lock_guard lock(mutex_);
        results.swap(results_);
    }
    for (auto& result : results)
        result();
}

void StoreWorker::settle(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait_until(lock, deadline, [&] { return !results_.empty() || pending_ == 0; });
            if (results_.empty())
                return;
        }
        deliver();
    }
}

int StoreWorker::onReady(sd_event_source*, int fd, std::uint32_t, void* userdata) {
    std::uint64_t count = 0;
    [[maybe_unused]] auto read = ::read(fd, &count, sizeof count);
    static_cast<StoreWorker*>(userdata)->deliver();
    return 0;
}

}  // namespace velkor::daemon
