#include "values/client/ServerOrder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace velkor {

void ServerOrder::hold(Held held) {
    auto at = std::upper_bound(
        held_.begin(), held_.end(), held.change.revision,
        [](std::int64_t revision, const Held& h) { return revision < h.change.revision; });
    held_.insert(at, std::move(held));
}

std::optional<ServerOrder::Held> ServerOrder::takeNext(std::int64_t revision) {
    if (held_.empty() || mustWait(held_.front().change.revision, revision)) {
        return std::nullopt;
    }
    Held next = std::move(held_.front());
    held_.erase(held_.begin());
    return next;
}

std::optional<ServerOrder::Held> ServerOrder::takeUpTo(std::int64_t revision) {
    if (held_.empty() || held_.front().change.revision > revision) {
        return std::nullopt;
    }
    Held next = std::move(held_.front());
    held_.erase(held_.begin());
    return next;
}

void ServerOrder::fetchedAt(std::int64_t revision) {
    fetchedUpTo_ = std::max(fetchedUpTo_, revision);
    held_.erase(held_.begin(), std::find_if(held_.begin(), held_.end(), [&](const Held& h) {
                    return h.change.revision > revision;
                }));
}

namespace {

// Waits for an earlier change are rare and short, so every container shares one lock and one
// condition for them rather than carrying its own: containers are many.
struct WaitLock {
    std::mutex mutex;
    std::condition_variable advanced;
};

WaitLock& waitLock() {
    static WaitLock shared;
    return shared;
}

}  // namespace

void ServerOrder::waitForRevision(const std::function<std::int64_t()>& revision,
                                  std::int64_t wanted) {
    if (revision() >= wanted) {
        return;
    }
    auto& wait = waitLock();
    std::unique_lock lock(wait.mutex);
    // Both sides update `waiters_`, so one of them comes second in its order: either the waker
    // sees this waiter, or this waiter reads what the waker wrote and with it the revision.
    waiters_.fetch_add(1, std::memory_order_acq_rel);
    wait.advanced.wait_for(lock, kWaitForEarlierChanges, [&] { return revision() >= wanted; });
    waiters_.fetch_sub(1, std::memory_order_acq_rel);
}

void ServerOrder::revisionAdvanced() {
    if (waiters_.fetch_add(0, std::memory_order_acq_rel) == 0) {
        return;
    }
    // Taking the mutex orders this wake-up after a waiter's test of the revision. Waiters of
    // other containers wake too, test their own revision and wait on.
    auto& wait = waitLock();
    { std::lock_guard lock(wait.mutex); }
    wait.advanced.notify_all();
}

}  // namespace velkor
