#pragma once

#include <atomic>

namespace velkor::dispatch {

class ReadWriteQueue;

/// Where readers announce the read/write queues they are inside without taking the queues'
/// locks: one record per thread, on a cache line of its own, which only that thread writes, so
/// readers on several cores never pass a line between them. Records are never freed: the record
/// of a thread that ended goes to the next thread that needs one, and a barrier walks them all
/// without a lock.
///
/// A reader announces itself, then checks that readers are still favoured; a barrier withdraws
/// the favour, then looks at the records. Each side needs a full fence between its store and its
/// load, or both could miss the other. Where the kernel offers process-wide memory barriers
/// (membarrier), the barrier's side issues one that fences every thread of the process, and the
/// reader's side is a plain store; elsewhere both sides use sequentially consistent atomics.
class ReaderRecords {
  public:
    using Slot = std::atomic<const ReadWriteQueue*>;

    /// A free slot of the calling thread's record, or none: all of them are in use (the thread
    /// is inside that many queues), or the thread is ending.
    static Slot* freeSlot() {
        if (Record* record = threadRecord) [[likely]] {
            for (auto& slot : record->slots) {
                if (slot.load(std::memory_order_relaxed) == nullptr) {
                    return &slot;
                }
            }
            return nullptr;
        }
        return firstFreeSlot();
    }
    /// Puts `queue` in a slot from freeSlot, fenced against the favour's check that follows.
    static void announce(Slot& slot, const ReadWriteQueue* queue) {
        if (processBarriers) {
            // The withdrawing barrier's membarrier fences this thread wherever it stands.
            slot.store(queue, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            slot.store(queue, std::memory_order_seq_cst);
        }
    }
    /// Fences the favour's withdrawal before against the look at the records after it.
    static void fenceWithdrawal();
    /// Waits until no record announces `queue`.
    static void waitForReadersToLeave(const ReadWriteQueue* queue);

  private:
    // One thread's slots: as many queues as a thread is likely to be inside at once (a
    // container's items and the parents' lock, say); a reader inside more takes the lock.
    struct alignas(64) Record {
        static constexpr int kSlots = 6;
        Slot slots[kSlots]{};
        std::atomic<bool> owned{true};
        Record* next = nullptr;  // set before the record is published, never changed
    };

    /// freeSlot's first call on a thread: takes a record for it, unless the thread is ending.
    static Slot* firstFreeSlot();
    /// Whether the process may issue process-wide barriers; asked of the kernel once.
    static bool registerProcessBarriers();

    static std::atomic<Record*> records;  // every record ever made, newest first
    static inline thread_local Record* threadRecord = nullptr;
    // Set once, before the first record is handed out, so every reader reads it after that.
    static inline bool processBarriers = false;
};

}  // namespace velkor::dispatch
