#include "bus/RequestBatch.h"

#include <algorithm>

#include "basalt/QZLogger.h"
#include "core/ChangeRecords.h"
#include "core/LogThrottle.h"
#include "dbus/BusError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.RequestBatch");

/// Records of one containerAbandoned message: small, so that thousands fit in one.
constexpr std::size_t kAbandonedPerMessage = 4096;

/// The bytes a request carries beyond its fixed fields: its blob or its record's value.
std::size_t payloadBytes(const ClientRequest& request) {
    if (const auto* create = request.get<ClientRequest::CreateSettings>())
        return create->data.size();
    if (const auto* update = request.get<ClientRequest::UpdateSettings>())
        return update->change ? update->change->data.size() + update->change->key.size() : 0;
    return 0;
}

}  // namespace

RequestBatch::RequestBatch(EventLoop& loop, SettingsStore& store, ResponseSender& sender,
                           const ServiceLimits& limits)
    : loop_(loop), store_(store), sender_(sender), limits_(limits), flushWhenIdle_(loop, [this] {
          flush();
      }) {
    sender_.onReadAgain([this](const std::string& client) { readAgain(client); });
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
    if (!sender_.overBudget(client) && (it == queues_.end() || it->second.entries.empty())) {
        sender_.send(client, tag, ServerResponse::RequestHasFailed{error});
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
    auto [it, added] = queues_.try_emplace(client, Queue{Caller{client, 0}, false, {}, false});
    Queue& queue = it->second;
    if (uid) {
        sender_.setUser(client, *uid);
        queue.caller.uid = *uid;
        queue.uidKnown = true;
    }
    queue.entries.push_back(std::move(entry));
    ++waitingTotal_;
    if (!queue.inRing) {
        queue.inRing = true;
        ring_.push_back(client);
    }
    scheduleFlush();
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
    while (flushOnce(true)) {
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

    // Round-robin: one request per client and round, skipping clients over their budget.
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
        std::string client = std::move(ring_.front());
        ring_.pop_front();
        Queue& queue = queues_.at(client);
        if (!force && sender_.overBudget(client)) {
            ring_.push_back(std::move(client));
            ++passed;
            continue;
        }
        passed = 0;
        Entry entry = std::move(queue.entries.front());
        queue.entries.pop_front();
        --waitingTotal_;
        std::size_t index = SIZE_MAX;
        if (entry.request) {
            bytes += payloadBytes(*entry.request);
            index = requests.size();
            requests.push_back(PendingRequest{queue.caller, *entry.request});
        }
        if (queue.entries.empty())
            queue.inRing = false;
        else
            ring_.push_back(client);
        taken.push_back(Taken{std::move(client), std::move(entry), index});
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
            sender_.send(t.client, t.entry.tag, ServerResponse::RequestHasFailed{t.entry.refusal});
        } else {
            if (abandoned_.contains(t.client))
                readAgain(t.client);
            sender_.send(t.client, t.entry.tag, outcomes[t.request].answer);
            deliverNotices(outcomes[t.request]);
        }
        ++done;
    }
    for (std::size_t i = taken.size(); i-- > done;) {
        Queue& queue = queues_.at(taken[i].client);
        queue.entries.push_front(std::move(taken[i].entry));
        ++waitingTotal_;
        if (!queue.inRing) {
            queue.inRing = true;
            ring_.push_front(taken[i].client);
        }
    }
    return true;
}

void RequestBatch::deliverNotices(const Outcome& outcome) {
    for (const auto& notice : outcome.notices) {
        // Within its budget again (its user's other clients read): told first what it dropped.
        if (abandoned_.contains(notice.clientId) && !sender_.overBudget(notice.clientId))
            readAgain(notice.clientId);
        if (abandoned_.contains(notice.clientId) || sender_.overBudget(notice.clientId)) {
            cutOff(notice.clientId);
            continue;
        }
        sender_.send(notice.clientId, UUID::random(), notice.changes);
    }
}

void RequestBatch::cutOff(const std::string& client) {
    auto held = store_.abandonClient(client);
    auto [it, first] = abandoned_.try_emplace(client);
    it->second.insert(it->second.end(), held.begin(), held.end());
    std::size_t lines = 0;
    if (first && LogThrottle::shared().allow(client, lines)) {
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
        log.info("Client %@ reads again; it is told to drop %d containers.", client, held.size());
        for (std::size_t first = 0; first < held.size(); first += kAbandonedPerMessage) {
            ServerResponse::NoteChanges notes;
            for (std::size_t i = first; i < std::min(held.size(), first + kAbandonedPerMessage);
                 ++i) {
                notes.changeNotifications.push_back(ChangeRecords::make(
                    ChangeType::containerAbandoned, held[i].first, held[i].second));
                notes.changePaths.emplace_back();
            }
            sender_.send(client, UUID::random(), notes);
        }
    }
    // Clients of the same user may be within their budget again too.
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
    waitingTotal_ -= queue.entries.size();
    if (queue.inRing)
        ring_.erase(std::find(ring_.begin(), ring_.end(), client));
    // What it sent is applied, for the other clients' sake; there is nobody to answer.
    std::vector<PendingRequest> requests;
    for (auto& entry : queue.entries) {
        if (entry.request)
            requests.push_back(PendingRequest{queue.caller, std::move(*entry.request)});
    }
    if (requests.empty())
        return;
    for (const auto& outcome : store_.applyBatch(requests))
        deliverNotices(outcome);
}

int RequestBatch::onRetry(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<RequestBatch*>(userdata);
    self->retry_.reset();
    self->flush();
    return 0;
}

}  // namespace velkor::daemon
