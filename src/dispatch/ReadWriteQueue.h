#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "dispatch/ReaderRecords.h"

namespace velkor::dispatch {

/// A concurrent queue used only synchronously. Ordinary blocks (`sync`) share it and run
/// together; barrier blocks (`syncBarrier`) run alone, after the blocks already running. Writers
/// are preferred, so a stream of readers cannot starve a barrier. Not re-entrant.
///
/// Readers are favoured while the queue is read far more than written: a reader then announces
/// itself in a slot of its own thread's record instead of in the lock, so readers on several
/// cores each write only their own cache line and do not pass the lock's between them; where the
/// system offers process-wide memory barriers, announcing takes no atomic read-modify-write
/// either (the barrier pays for the fence instead). A barrier withdraws the favour and waits for
/// the announced readers to leave; a reader on the lock brings the favour back once the
/// barriers have stopped for a while.
///
/// A lock that cannot be taken (the thread already holds it as a barrier, or the system has no
/// room for another reader) throws std::system_error, as std::mutex and std::shared_mutex do,
/// before the block runs: a block never runs unlocked. A lock that cannot be released is broken
/// beyond repair and aborts the process.
class ReadWriteQueue {
  public:
    /// The queue keeps no label of its own: one per container would cost more than the items
    /// of a small container. Its owner names it (see ContainerAccess::itemsLockLabel).
    ReadWriteQueue();
    ~ReadWriteQueue();
    ReadWriteQueue(const ReadWriteQueue&) = delete;
    ReadWriteQueue& operator=(const ReadWriteQueue&) = delete;

    /// Runs `f` as an ordinary (shared) block and returns its result.
    template <typename F>
    std::invoke_result_t<F&> sync(F&& f) {
        if (Slot* slot = announceReader()) {
            AnnouncedGuard guard(*slot);
            return f();
        }
        SharedGuard guard(*this);
        return f();
    }

    /// Runs `f` as a barrier (exclusive) block and returns its result.
    template <typename F>
    std::invoke_result_t<F&> syncBarrier(F&& f) {
        ExclusiveGuard guard(*this);
        return f();
    }

    /// Runs `f` as an ordinary block, or returns false without running it when the queue
    /// cannot be entered before `deadline` (a barrier holds it all that time).
    template <typename F>
    bool syncUntil(std::chrono::steady_clock::time_point deadline, F&& f) {
        if (Slot* slot = announceReader()) {
            AnnouncedGuard guard(*slot);
            f();
            return true;
        }
        if (!lockSharedUntil(deadline))
            return false;
        Unlock guard(*this);
        f();
        return true;
    }

    /// Runs `f` as an ordinary block if the queue can be entered at once; returns false without
    /// running it when a barrier holds the queue or waits for it.
    template <typename F>
    bool trySync(F&& f) {
        if (Slot* slot = announceReader()) {
            AnnouncedGuard guard(*slot);
            f();
            return true;
        }
        if (!tryLockShared())
            return false;
        Unlock guard(*this);
        f();
        return true;
    }

    /// Runs `f` as a barrier block, or returns false without running it when the queue cannot
    /// be had alone before `deadline`.
    template <typename F>
    bool syncBarrierUntil(std::chrono::steady_clock::time_point deadline, F&& f) {
        if (!lockExclusiveUntil(deadline))
            return false;
        Unlock guard(*this);
        f();
        return true;
    }

  private:
    using Slot = ReaderRecords::Slot;

    /// A slot of the calling thread's record, holding this queue, when readers are favoured and
    /// the record had a free slot; otherwise none and the reader takes the lock.
    Slot* announceReader() {
        if (!readersFavoured_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        Slot* slot = ReaderRecords::freeSlot();
        if (!slot) {
            return nullptr;
        }
        // Announced first, then checked: a barrier withdraws the favour first, then looks at the
        // records, so one of the two sees the other.
        ReaderRecords::announce(*slot, this);
        if (!readersFavoured_.load(std::memory_order_seq_cst)) {
            slot->store(nullptr, std::memory_order_release);
            return nullptr;
        }
        return slot;
    }
    void lockShared();
    void lockExclusive();
    /// As lockShared, giving up at once: false when it did.
    bool tryLockShared();
    /// As lockShared and lockExclusive, giving up at `deadline`: false when they did.
    bool lockSharedUntil(std::chrono::steady_clock::time_point deadline);
    bool lockExclusiveUntil(std::chrono::steady_clock::time_point deadline);
    /// What a lock taken (either way) does once taken.
    void sharedTaken();
    void exclusiveTaken();
    void unlock();

    struct AnnouncedGuard {
        explicit AnnouncedGuard(Slot& slot) : slot(slot) {}
        ~AnnouncedGuard() { slot.store(nullptr, std::memory_order_release); }
        Slot& slot;
    };
    struct SharedGuard {
        explicit SharedGuard(ReadWriteQueue& q) : q(q) { q.lockShared(); }
        ~SharedGuard() { q.unlock(); }
        ReadWriteQueue& q;
    };
    struct ExclusiveGuard {
        explicit ExclusiveGuard(ReadWriteQueue& q) : q(q) { q.lockExclusive(); }
        ~ExclusiveGuard() { q.unlock(); }
        ReadWriteQueue& q;
    };
    /// Leaves a queue entered already.
    struct Unlock {
        explicit Unlock(ReadWriteQueue& q) : q(q) {}
        ~Unlock() { q.unlock(); }
        ReadWriteQueue& q;
    };

    std::atomic<bool> readersFavoured_{false};
    // Until when (steady clock, ns) readers stay unfavoured after a barrier withdrew the favour;
    // written under the exclusive lock, read under the shared one.
    std::int64_t unfavouredUntil_ = 0;
    pthread_rwlock_t lock_;
};

}  // namespace velkor::dispatch
