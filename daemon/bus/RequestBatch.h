#pragma once

#include <cstddef>
#include <vector>

#include "bus/IdleTask.h"
#include "bus/ResponseSender.h"
#include "core/SettingsStore.h"
#include "internals/Tagged.h"

namespace velkor::daemon {

/// Requests that arrived together, applied under one commit of the store and answered after it.
///
/// A request joins the batch when its sender's uid is known; the batch is applied once the event
/// loop has dispatched every bus message it could read at once, or as soon as it holds
/// `kMaxRequests` requests or `kMaxBytes` of blobs, which bounds how long a busy bus can delay an
/// answer and how much memory waits. Answers and notices go out in request order, each answer
/// before its notices.
class RequestBatch {
  public:
    static constexpr std::size_t kMaxRequests = 64;
    static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;

    RequestBatch(EventLoop& loop, SettingsStore& store, ResponseSender& sender);
    RequestBatch(const RequestBatch&) = delete;
    RequestBatch& operator=(const RequestBatch&) = delete;

    void add(const Caller& caller, Tagged<ClientRequest> request);

    /// Applies and answers what the batch holds now.
    void flush();

  private:
    SettingsStore& store_;
    ResponseSender& sender_;
    IdleTask flushWhenIdle_;
    std::vector<PendingRequest> requests_;
    std::vector<UUID> tags_;
    std::size_t bytes_ = 0;
};

}  // namespace velkor::daemon
