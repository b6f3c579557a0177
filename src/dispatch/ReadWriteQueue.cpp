#include "dispatch/ReadWriteQueue.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace velkor::dispatch {

namespace {

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How many times its own length a withdrawal keeps readers unfavoured: writes that come often
// pay for few withdrawals.
constexpr std::int64_t kUnfavouredFactor = 9;

// Waits for `lock` with `timedLock` until the steady clock reaches `deadline`; gives the last
// result. The timed locks take wall-clock time (the sanitizers know no other), so each wait is
// computed afresh from the steady clock, and a wait that ends early because the wall clock
// jumped ahead is taken up again.
template <typename TimedLock>
int lockUntil(pthread_rwlock_t* lock, std::chrono::steady_clock::time_point deadline,
              TimedLock timedLock) {
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return ETIMEDOUT;
        const auto at = std::chrono::system_clock::now().time_since_epoch() +
                        std::chrono::duration_cast<std::chrono::nanoseconds>(left);
        const auto seconds = std::chrono::floor<std::chrono::seconds>(at);
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(seconds.count());
        ts.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(at - seconds).count());
        const int result = timedLock(lock, &ts);
        if (result != ETIMEDOUT)
            return result;
    }
}

void check(int result, const char* what) {
    if (result != 0)
        throw std::system_error(result, std::generic_category(), what);
}

}  // namespace

ReadWriteQueue::ReadWriteQueue() {
    pthread_rwlockattr_t attr;
    check(pthread_rwlockattr_init(&attr), "Creating a read/write lock");
    // glibc's default prefers readers, which lets a steady stream of readers starve a writer.
    int result = pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    if (result == 0)
        result = pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
    check(result, "Creating a read/write lock");
}

ReadWriteQueue::~ReadWriteQueue() {
    pthread_rwlock_destroy(&lock_);
}

void ReadWriteQueue::lockShared() {
    check(pthread_rwlock_rdlock(&lock_), "Entering a read/write queue");
    sharedTaken();
}

void ReadWriteQueue::lockExclusive() {
    check(pthread_rwlock_wrlock(&lock_), "Entering a read/write queue as a barrier");
    exclusiveTaken();
}

bool ReadWriteQueue::tryLockShared() {
    const int result = pthread_rwlock_tryrdlock(&lock_);
    if (result == EBUSY)
        return false;
    check(result, "Entering a read/write queue");
    sharedTaken();
    return true;
}

bool ReadWriteQueue::lockSharedUntil(std::chrono::steady_clock::time_point deadline) {
    const int result = lockUntil(&lock_, deadline, pthread_rwlock_timedrdlock);
    if (result == ETIMEDOUT)
        return false;
    check(result, "Entering a read/write queue");
    sharedTaken();
    return true;
}

bool ReadWriteQueue::lockExclusiveUntil(std::chrono::steady_clock::time_point deadline) {
    const int result = lockUntil(&lock_, deadline, pthread_rwlock_timedwrlock);
    if (result == ETIMEDOUT)
        return false;
    check(result, "Entering a read/write queue as a barrier");
    exclusiveTaken();
    return true;
}

void ReadWriteQueue::sharedTaken() {
    if (!readersFavoured_.load(std::memory_order_relaxed) && nowNanoseconds() >= unfavouredUntil_) {
        readersFavoured_.store(true, std::memory_order_release);
    }
}

void ReadWriteQueue::exclusiveTaken() {
    if (!readersFavoured_.load(std::memory_order_relaxed)) {
        return;
    }
    const auto start = nowNanoseconds();
    readersFavoured_.store(false, std::memory_order_seq_cst);
    ReaderRecords::fenceWithdrawal();
    ReaderRecords::waitForReadersToLeave(this);
    const auto end = nowNanoseconds();
    unfavouredUntil_ = end + kUnfavouredFactor * (end - start);
}

void ReadWriteQueue::unlock() {
    // Only a lock this thread does not hold fails to unlock: the queue's bookkeeping is broken,
    // and carrying on would let blocks overlap.
    if (int result = pthread_rwlock_unlock(&lock_); result != 0) {
        std::fprintf(stderr, "Can't leave a read/write queue: %s\n", std::strerror(result));
        std::abort();
    }
}

}  // namespace velkor::dispatch
