#include "values/client/ServerOrder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace velkor {

ServerOrder::ServerOrder() = default;
ServerOrder::~ServerOrder() = default;

ServerOrder::State& ServerOrder::state() {
    if (!state_) {
        state_ = std::make_unique<State>();
    }
    return *state_;
}

void ServerOrder::releaseIfIdle() {
    if (state_ && state_->inFlight == 0 && state_->held.empty() && state_->merged.empty() &&
        state_->missed == 0) {
        state_.reset();
    }
}

void ServerOrder::beginOwnChange() {
    ++state().inFlight;
}

void ServerOrder::endOwnChange() {
    --state_->inFlight;
    releaseIfIdle();
}

void ServerOrder::missed(std::int64_t revision) {
    auto& missed = state().missed;
    missed = std::max(missed, revision);
}

void ServerOrder::hold(Held held) {
    auto& waiting = state().held;
    auto at = std::upper_bound(
        waiting.begin(), waiting.end(), held.change.revision,
        [](std::int64_t revision, const Held& h) { return revision < h.change.revision; });
    waiting.insert(at, std::move(held));
}

std::optional<ServerOrder::Held> ServerOrder::takeNext(std::int64_t revision) {
    if (!state_ || state_->held.empty() ||
        mustWait(state_->held.front().change.revision, revision)) {
        return std::nullopt;
    }
    Held next = std::move(state_->held.front());
    state_->held.erase(state_->held.begin());
    releaseIfIdle();
    return next;
}

std::optional<ServerOrder::Held> ServerOrder::takeUpTo(std::int64_t revision) {
    if (!state_ || state_->held.empty() || state_->held.front().change.revision > revision) {
        return std::nullopt;
    }
    Held next = std::move(state_->held.front());
    state_->held.erase(state_->held.begin());
    releaseIfIdle();
    return next;
}

void ServerOrder::fetchedAt(std::int64_t revision, bool changed) {
    if (!state_) {
        return;  // nothing waits, and the container's own revision skips what the content holds
    }
    state_->fetchedUpTo = std::max(state_->fetchedUpTo, revision);
    state_->fetchChanged = state_->fetchChanged || changed;
    auto& waiting = state_->held;
    waiting.erase(waiting.begin(), std::find_if(waiting.begin(), waiting.end(), [&](const Held& h) {
                      return h.change.revision > revision;
                  }));
    releaseIfIdle();
}

void ServerOrder::merged(Merged merged) {
    auto& kept = state().merged;
    auto at = std::upper_bound(
        kept.begin(), kept.end(), merged.revision,
        [](std::int64_t revision, const Merged& m) { return revision < m.revision; });
    kept.insert(at, std::move(merged));
}

std::vector<ServerOrder::Merged> ServerOrder::mergedAfter(std::int64_t revision) const {
    std::vector<Merged> after;
    if (state_) {
        std::copy_if(state_->merged.begin(), state_->merged.end(), std::back_inserter(after),
                     [&](const Merged& m) { return m.revision > revision; });
    }
    return after;
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

void ServerOrder::revisionReached(std::int64_t revision) {
    if (!state_) {
        return;
    }
    auto& kept = state_->merged;
    kept.erase(kept.begin(), std::find_if(kept.begin(), kept.end(),
                                          [&](const Merged& m) { return m.revision > revision; }));
    if (state_->missed <= revision) {
        state_->missed = 0;
    }
    // Both sides update `waiters`, so one of them comes second in its order: either this
    // waker sees the waiter, or the waiter reads what was written before and with it the
    // revision.
    if (state_->waiters.fetch_add(0, std::memory_order_acq_rel) != 0) {
        // Taking the mutex orders this wake-up after a waiter's test of the revision. Waiters
        // of other containers wake too, test their own revision and wait on.
        auto& wait = waitLock();
        { std::lock_guard lock(wait.mutex); }
        wait.advanced.notify_all();
    }
    releaseIfIdle();
}

bool ServerOrder::waitForRevision(const std::function<std::int64_t()>& revision,
                                  std::int64_t wanted,
                                  std::chrono::steady_clock::time_point deadline) {
    if (revision() >= wanted) {
        return true;
    }
    auto& wait = waitLock();
    std::unique_lock lock(wait.mutex);
    state_->waiters.fetch_add(1, std::memory_order_acq_rel);
    const bool reached =
        wait.advanced.wait_until(lock, deadline, [&] { return revision() >= wanted; });
    state_->waiters.fetch_sub(1, std::memory_order_acq_rel);
    return reached;
}

}  // namespace velkor
