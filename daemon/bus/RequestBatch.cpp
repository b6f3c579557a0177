#include "bus/RequestBatch.h"

#include <algorithm>

#include "basalt/QZLogger.h"
#include "core/ChangeRecords.h"
#include "core/LogThrottle.h"
#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.RequestBatch");

/// Records of one containerAbandoned message: small (their paths at most
/// `HeldContainer::kMaxPathBytes` each), so that thousands fit in one.
constexpr std::size_t kAbandonedPerMessage = 4096;

}  // namespace

std::size_t payloadBytes(const ClientRequest& request) {
    if (const auto* create = request.get<ClientRequest::CreateSettings>())
        return create->data.size() + create->domain.size();
    if (const auto* fetch = request.get<ClientRequest::FetchSettings>())
        return fetch->domain.size() + fetch->path.size();
    if (const auto* remove = request.get<ClientRequest::DeleteSettings>())
        return remove->domain.size();
    if (const auto* update = request.get<ClientRequest::UpdateSettings>())
        return update->change ? update->change->data.size() + update->change->key.size() : 0;
    return 0;
}

std::size_t domainBytes(const ClientRequest& request) {
    if (const auto* create = request.get<ClientRequest::CreateSettings>())
        return create->domain.size();
    if (const auto* fetch = request.get<ClientRequest::FetchSettings>())
        return fetch->domain.size();
    if (const auto* remove = request.get<ClientRequest::DeleteSettings>())
        return remove->domain.size();
    return 0;
}

RequestBatch::RequestBatch(EventLoop& loop, Store& store, ResponseSender& sender,
                           const ServiceLimits& limits)
    : loop_(loop), store_(store), sender_(sender), limits_(limits), flushWhenIdle_(loop, [this] {
          flush();
      }) {
    sender_.onReadAgain([this](const std::string& client) { readAgain(client); });
}

void RequestBatch::serveAlso(StoreWorker& worker,
                             std::function<bool(const ClientRequest&)> routes) {
    worker_ = &worker;
    routes_ = std::move(routes);
}

void RequestBatch::deliver(const std::vector<Notice>& notices) {
    deliverNotices(notices);
    releaseCoalesced();
}

void RequestBatch::sendAway(const std::string& client, Queue& queue, Entry entry) {
    queue.away = true;
    worker_->apply(PendingRequest{queue.caller, std::move(*entry.request)},
                   [this, client, tag = entry.tag](Outcome outcome) {
                       cameBack(client, tag, std::move(outcome));
                   });
}

void RequestBatch::cameBack(const std::string& client, const UUID& tag, Outcome outcome) {
    auto it = queues_.find(client);
    // A client that has left is answered no more; the others still hear of its change.
    if (it != queues_.end())
        sendTo(client, tag, outcome.answer);
    deliverNotices(outcome.notices);
    releaseCoalesced();
    if (it == queues_.end())
        return;
    Queue& queue = it->second;
    queue.away = false;
    if (!queue.entries.empty() && !queue.inRing)
        enterRing(client, queue, true);
    if (!ring_.empty())
        scheduleFlush();
}

void RequestBatch::add(const Caller& caller, Tagged<ClientRequest> request) {
    enqueue(caller.clientId, caller.uid, Entry{request.tag, std::move(request.payload)});
    if (waitingTotal_ >= kMaxRequests)
        flush();
}

void RequestBatch::refuse(const std::string& client, const UUID& tag, VKError error) {
    // A client with too much waiting floods: what passes its limit is dropped, since answering
    // would only pile up more for it.
    if (waiting(client) >= limits_.maxWaitingRequests)
        return;
    auto it = queues_.find(client);
    if (!sender_.lagging(client) && (it == queues_.end() || it->second.entries.empty())) {
        sendTo(client, tag, ServerResponse::RequestHasFailed{error});
        return;
    }
    // Answered after the client's requests that wait, and like them only once it is seen to
    // read: a client that is merely slow loses no answer.
    enqueue(client, std::nullopt, Entry{tag, std::nullopt, error});
}

std::size_t RequestBatch::waiting(const std::string& client) const {
    auto it = queues_.find(client);
    return it == queues_.end() ? 0 : it->second.entries.size();
}

void RequestBatch::enqueue(const std::string& client, std::optional<std::uint32_t> uid,
                           Entry entry) {
    auto [it, added] =
        queues_.try_emplace(client, Queue{Caller{client, 0}, false, {}, false, {}, 0});
    Queue& queue = it->second;
    if (uid) {
        sender_.setUser(client, *uid);
        queue.caller.uid = *uid;
        queue.uidKnown = true;
    }
    tally(queue, entry, true);
    queue.entries.push_back(std::move(entry));
    if (!queue.inRing && !queue.away)
        enterRing(client, queue, false);
    scheduleFlush();
}

void RequestBatch::tally(Queue& queue, const Entry& entry, bool waits) {
    const std::size_t bytes = entry.request ? payloadBytes(*entry.request) : 0;
    if (waits) {
        ++waitingTotal_;
        queue.bytes += bytes;
    } else {
        --waitingTotal_;
        queue.bytes -= bytes;
    }
    if (bytes > 0 && queue.uidKnown) {
        auto& user = userBytes_[queue.caller.uid];
        user = waits ? user + bytes : user - bytes;
        if (user == 0)
            userBytes_.erase(queue.caller.uid);
    }
}

std::size_t RequestBatch::waitingBytes(const std::string& client) const {
    auto queue = queues_.find(client);
    return queue == queues_.end() ? 0 : queue->second.bytes;
}

std::size_t RequestBatch::userWaitingBytes(std::uint32_t uid) const {
    auto user = userBytes_.find(uid);
    return user == userBytes_.end() ? 0 : user->second;
}

void RequestBatch::enterRing(const std::string& client, Queue& queue, bool first) {
    queue.inRing = true;
    queue.ringKey = ringKeyOf(client, queue);
    auto& clients = userRings_[queue.ringKey];
    if (clients.empty()) {
        if (first)
            ring_.push_front(queue.ringKey);
        else
            ring_.push_back(queue.ringKey);
    }
    if (first)
        clients.push_front(client);
    else
        clients.push_back(client);
}

void RequestBatch::leadRing(const std::string& client, Queue& queue) {
    if (queue.inRing) {
        auto user = userRings_.find(queue.ringKey);
        if (user != userRings_.end()) {
            std::erase(user->second, client);
            if (user->second.empty()) {
                userRings_.erase(user);
                std::erase(ring_, queue.ringKey);
            }
        }
    }
    queue.inRing = true;
    queue.ringKey = ringKeyOf(client, queue);
    std::erase(ring_, queue.ringKey);
    ring_.push_front(queue.ringKey);
    userRings_[queue.ringKey].push_front(client);
}

std::string RequestBatch::ringKeyOf(const std::string& client, const Queue& queue) {
    // Requests that wait for nothing but their refusal have no uid yet: such a client is a user
    // of its own.
    return queue.uidKnown ? "uid " + std::to_string(queue.caller.uid) : client;
}

void RequestBatch::scheduleFlush() {
    flushWhenIdle_.schedule();
}

void RequestBatch::flush() {
    if (!flushOnce(false))
        return;
    // More may wait: after the bus messages that arrived meanwhile.
    if (!ring_.empty())
        scheduleFlush();
}

void RequestBatch::flushAll() {
    // The second store's requests are waited for, as long as a request may take there.
    const auto deadline = std::chrono::steady_clock::now() + kSecondStoreWait;
    for (;;) {
        while (flushOnce(true)) {
        }
        if (!worker_ || !worker_->busy() || std::chrono::steady_clock::now() >= deadline)
            return;
        worker_->settle(deadline);
    }
}

bool RequestBatch::flushOnce(bool force) {
    if (ring_.empty())
        return false;
    if (!force && sender_.congested()) {
        if (!retry_) {
            sd_event_source* raw = nullptr;
            if (sd_event_add_time_relative(loop_.get(), &raw, CLOCK_MONOTONIC, 1000, 0, onRetry,
                                           this) >= 0)
                retry_.reset(raw);
        }
        return false;
    }

    // Round-robin: one request per user and round, from each user's clients in turn, skipping
    // clients that lag behind; a user gains nothing by opening more connections.
    struct Taken {
        std::string client;
        Entry entry;
        std::size_t request;  ///< index into `requests`, or SIZE_MAX for a refusal
    };
    std::vector<Taken> taken;
    std::vector<PendingRequest> requests;
    std::size_t bytes = 0;
    std::size_t passed = 0;
    while (!ring_.empty() && passed < ring_.size() && requests.size() < kMaxRequests &&
           bytes < kMaxBytes) {
        std::string user = std::move(ring_.front());
        ring_.pop_front();
        auto& clients = userRings_.at(user);
        std::optional<std::string> picked;
        for (std::size_t n = clients.size(); n > 0 && !picked; --n) {
            std::string client = std::move(clients.front());
            clients.pop_front();
            if (force || !sender_.lagging(client))
                picked = std::move(client);
            else
                clients.push_back(std::move(client));
        }
        if (!picked) {
            ring_.push_back(std::move(user));
            ++passed;
            continue;
        }
        passed = 0;
        Queue& queue = queues_.at(*picked);
        if (queue.entries.front().alone && !taken.empty()) {
            // It runs in a batch of its own: the next one.
            clients.push_front(std::move(*picked));
            ring_.push_front(std::move(user));
            break;
        }
        const bool alone = queue.entries.front().alone;
        Entry entry = std::move(queue.entries.front());
        queue.entries.pop_front();
        tally(queue, entry, false);
        if (worker_ && entry.request && routes_(*entry.request)) {
            // The client leaves the ring until the answer is back.
            queue.inRing = false;
            sendAway(*picked, queue, std::move(entry));
            if (clients.empty())
                userRings_.erase(user);
            else
                ring_.push_back(std::move(user));
            continue;
        }
        std::size_t index = SIZE_MAX;
        if (entry.request) {
            bytes += payloadBytes(*entry.request);
            index = requests.size();
            requests.push_back(PendingRequest{queue.caller, *entry.request});
        }
        if (queue.entries.empty())
            queue.inRing = false;
        else
            clients.push_back(*picked);
        if (clients.empty())
            userRings_.erase(user);
        else
            ring_.push_back(std::move(user));
        taken.push_back(Taken{std::move(*picked), std::move(entry), index});
        if (alone)
            break;
    }
    if (taken.empty())
        return false;

    if (!requests.empty())
        log.debug("Applying %d requests under one commit.", requests.size());
    auto outcomes = requests.empty()
                        ? std::vector<Outcome>{}
                        : store_.applyBatch(requests, force ? SIZE_MAX : limits_.maxQueuedBytes);
    // What was taken from the first request left unapplied on goes back, in order.
    std::size_t done = 0;
    while (done < taken.size() &&
           (taken[done].request == SIZE_MAX || taken[done].request < outcomes.size())) {
        const Taken& t = taken[done];
        if (t.request == SIZE_MAX) {
            sendTo(t.client, t.entry.tag, ServerResponse::RequestHasFailed{t.entry.refusal});
        } else {
            sendTo(t.client, t.entry.tag, outcomes[t.request].answer);
            deliverNotices(outcomes[t.request].notices);
        }
        ++done;
    }
    releaseCoalesced();
    if (done == taken.size())
        return true;
    // The first request left unapplied needed more than its slice of the batch (or its answers
    // would have passed the budget): it runs in a batch of its own, after the others put back
    // with it. Each client's requests keep their order.
    const std::string heavy = taken[done].client;
    taken[done].entry.alone = true;
    auto putBack = [&](bool ofHeavy) {
        for (std::size_t i = taken.size(); i-- > done;) {
            if ((taken[i].client == heavy) != ofHeavy)
                continue;
            Queue& queue = queues_.at(taken[i].client);
            tally(queue, taken[i].entry, true);
            queue.entries.push_front(std::move(taken[i].entry));
            leadRing(taken[i].client, queue);
        }
    };
    putBack(true);
    putBack(false);
    return true;
}

void RequestBatch::deliverNotices(const std::vector<Notice>& notices) {
    for (const auto& notice : notices) {
        // Notices made on another thread (a fleet's watch, the store worker) may name a client
        // that has left meanwhile: sent anything, it would be charged for it again, for good.
        if (!queues_.contains(notice.clientId))
            continue;
        // Once found lagging, a client stays so for the rest of the batch: its notices are all
        // coalesced, and released together.
        if (coalescing_.contains(notice.clientId) || sender_.lagging(notice.clientId)) {
            coalesce(notice);
            continue;
        }
        sendTo(notice.clientId, UUID::random(), notice.changes);
    }
}

void RequestBatch::coalesce(const Notice& notice) {
    const auto& client = notice.clientId;
    auto [it, first] = abandoned_.try_emplace(client);
    if (coalescing_.insert(client).second && first) {
        if (std::size_t lines = 0; LogThrottle::shared().allow(client, lines)) {
            log.info(
                "Client %@ lags behind with %d bytes unread; the changes it is not sent wait as "
                "one record per container until it reads.%@",
                client, sender_.unread(client), LogThrottle::heldNote(lines));
        }
    }
    const auto& records = notice.changes.changeNotifications;
    const auto& paths = notice.changes.changePaths;
    for (std::size_t i = 0; i < records.size(); ++i) {
        HeldContainer held{records[i]->id, records[i]->revision,
                           i < paths.size() && paths[i].size() <= HeldContainer::kMaxPathBytes
                               ? paths[i]
                               : std::string()};
        if (it->second.insert_or_assign(held.id, std::move(held)).second)
            releases_.emplace_back(client, records[i]->id);
    }
}

void RequestBatch::releaseCoalesced() {
    if (worker_ && !releases_.empty())
        worker_->releaseHoldings(releases_);
    store_.releaseHoldings(releases_);
    releases_.clear();
    coalescing_.clear();
}

void RequestBatch::sendTo(const std::string& client, const UUID& tag,
                          const ServerResponse& response) {
    if (abandoned_.contains(client))
        readAgain(client);
    sender_.send(client, tag, response);
}

void RequestBatch::stalled(const std::string& client) {
    if (worker_) {
        worker_->abandonClient(client, [this, client](auto held) {
            if (held.empty() || !queues_.contains(client))
                return;
            auto& abandoned = abandoned_[client];
            for (auto& container : held)
                abandoned.insert_or_assign(container.id, std::move(container));
            // It may have caught up meanwhile: then it is told at once.
            if (!sender_.lagging(client))
                readAgain(client);
        });
    }
    auto held = store_.abandonClient(client);
    auto [it, first] = abandoned_.try_emplace(client);
    for (const auto& container : held)
        it->second.insert_or_assign(container.id, container);
    if (std::size_t lines = 0; !held.empty() && LogThrottle::shared().allow(client, lines)) {
        auto queue = queues_.find(client);
        log.warning(
            "Client %@ (uid %@) does not read what it is sent; it is sent no notices "
            "until it does, and drops the %d containers it held.%@",
            client,
            queue != queues_.end() && queue->second.uidKnown
                ? std::to_string(queue->second.caller.uid)
                : std::string("not known"),
            held.size(), LogThrottle::heldNote(lines));
    }
}

void RequestBatch::readAgain(const std::string& client) {
    if (auto it = abandoned_.find(client); it != abandoned_.end()) {
        auto held = std::move(it->second);
        abandoned_.erase(it);
        log.info("Client %@ has caught up; it is told to fetch %d containers anew.", client,
                 held.size());
        ServerResponse::NoteChanges notes;
        for (auto& [id, container] : held) {
            if (notes.changeNotifications.size() == kAbandonedPerMessage) {
                sender_.send(client, UUID::random(), notes);
                notes = {};
            }
            notes.changeNotifications.push_back(
                ChangeRecords::make(ChangeType::containerAbandoned, id, container.revision));
            notes.changePaths.push_back(std::move(container.path));
        }
        if (!notes.changeNotifications.empty())
            sender_.send(client, UUID::random(), notes);
    }
    if (!ring_.empty())
        scheduleFlush();
}

void RequestBatch::clientLeft(const std::string& client) {
    abandoned_.erase(client);
    auto it = queues_.find(client);
    if (it == queues_.end())
        return;
    Queue queue = std::move(it->second);
    queues_.erase(it);
    for (const auto& entry : queue.entries)
        tally(queue, entry, false);
    if (queue.inRing) {
        auto& clients = userRings_.at(queue.ringKey);
        clients.erase(std::find(clients.begin(), clients.end(), client));
        if (clients.empty()) {
            userRings_.erase(queue.ringKey);
            ring_.erase(std::find(ring_.begin(), ring_.end(), queue.ringKey));
        }
    }
    // What it sent is applied, for the other clients' sake; there is nobody to answer.
    std::vector<PendingRequest> requests;
    for (auto& entry : queue.entries) {
        if (!entry.request)
            continue;
        if (worker_ && routes_(*entry.request)) {
            worker_->apply(PendingRequest{queue.caller, std::move(*entry.request)},
                           [this](Outcome outcome) { deliver(outcome.notices); });
            continue;
        }
        requests.push_back(PendingRequest{queue.caller, std::move(*entry.request)});
    }
    // A request that needs more than its slice of the batch is applied alone.
    for (std::span<const PendingRequest> rest(requests); !rest.empty();) {
        auto outcomes = store_.applyBatch(rest);
        if (outcomes.empty())
            outcomes = store_.applyBatch(rest.first(1));
        for (const auto& outcome : outcomes)
            deliverNotices(outcome.notices);
        rest = rest.subspan(outcomes.size());
    }
    releaseCoalesced();
}

int RequestBatch::onRetry(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<RequestBatch*>(userdata);
    self->retry_.reset();
    self->flush();
    return 0;
}

}  // namespace velkor::daemon
