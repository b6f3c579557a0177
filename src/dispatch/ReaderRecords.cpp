#include "dispatch/ReaderRecords.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace velkor::dispatch {

std::atomic<ReaderRecords::Record*> ReaderRecords::records{nullptr};

namespace {

thread_local bool threadEnded = false;

}  // namespace

bool ReaderRecords::registerProcessBarriers() {
    static const bool registered = [] {
        processBarriers =
            syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
        return processBarriers;
    }();
    return registered;
}

ReaderRecords::Slot* ReaderRecords::firstFreeSlot() {
    if (threadEnded) {
        return nullptr;
    }
    registerProcessBarriers();
    // Gives the record back when the thread ends; the thread's later readers take the locks.
    struct GiveBack {
        ~GiveBack() {
            threadRecord->owned.store(false, std::memory_order_release);
            threadRecord = nullptr;
            threadEnded = true;
        }
    };
    Record* record = nullptr;
    for (Record* r = records.load(std::memory_order_acquire); r && !record; r = r->next) {
        bool owned = false;
        if (r->owned.compare_exchange_strong(owned, true, std::memory_order_acquire)) {
            record = r;
        }
    }
    if (!record) {
        record = new Record;  // never freed: barriers may be walking the list
        record->next = records.load(std::memory_order_relaxed);
        // Sequentially consistent: a barrier that withdrew the favour before this thread checks
        // it finds the record when it looks.
        while (!records.compare_exchange_weak(record->next, record, std::memory_order_seq_cst)) {
        }
    }
    threadRecord = record;
    thread_local GiveBack giveBack;
    return &record->slots[0];
}

void ReaderRecords::fenceWithdrawal() {
    if (!registerProcessBarriers()) {
        return;  // the withdrawal and the looks are sequentially consistent
    }
    // A child forked from a registered process may have to register again. Readers rely on the
    // fence, so a barrier that cannot have it stops the process rather than run beside them.
    const auto fence = [] {
        return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
    };
    if (fence() != 0 &&
        (errno != EPERM ||
         syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0 ||
         fence() != 0)) {
        std::fprintf(stderr, "Can't fence the readers of a read/write queue: %s\n",
                     std::strerror(errno));
        std::abort();
    }
}

void ReaderRecords::waitForReadersToLeave(const ReadWriteQueue* queue) {
    for (Record* r = records.load(std::memory_order_seq_cst); r; r = r->next) {
        for (auto& slot : r->slots) {
            while (slot.load(std::memory_order_seq_cst) == queue) {
                std::this_thread::yield();
            }
        }
    }
}

}  // namespace velkor::dispatch
