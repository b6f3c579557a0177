#include "bus/RequestBatch.h"

#include "basalt/QZLogger.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.RequestBatch");

/// The bytes a request carries beyond its fixed fields: its blob or its record's value.
std::size_t payloadBytes(const ClientRequest& request) {
    if (const auto* create = request.get<ClientRequest::CreateSettings>())
        return create->data.size();
    if (const auto* update = request.get<ClientRequest::UpdateSettings>())
        return update->change ? update->change->data.size() + update->change->key.size() : 0;
    return 0;
}

}  // namespace

RequestBatch::RequestBatch(EventLoop& loop, SettingsStore& store, ResponseSender& sender)
    : store_(store), sender_(sender), flushWhenIdle_(loop, [this] { flush(); }) {}

void RequestBatch::add(const Caller& caller, Tagged<ClientRequest> request) {
    if (requests_.empty())
        flushWhenIdle_.schedule();
    bytes_ += payloadBytes(request.payload);
    tags_.push_back(request.tag);
    requests_.push_back(PendingRequest{caller, std::move(request.payload)});
    if (requests_.size() >= kMaxRequests || bytes_ >= kMaxBytes)
        flush();
}

void RequestBatch::flush() {
    if (requests_.empty())
        return;
    // Taken out first: the batch is empty again whatever the store or the bus does below.
    auto requests = std::move(requests_);
    auto tags = std::move(tags_);
    requests_.clear();
    tags_.clear();
    bytes_ = 0;
    log.debug("Applying %d requests under one commit.", requests.size());
    auto outcomes = store_.applyBatch(requests);
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        sender_.deliver(requests[i].caller.clientId, tags[i], outcomes[i]);
}

}  // namespace velkor::daemon
