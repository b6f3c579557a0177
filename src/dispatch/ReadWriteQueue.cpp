#include "dispatch/ReadWriteQueue.h"

namespace velkor::dispatch {

ReadWriteQueue::ReadWriteQueue(std::string label) : label_(std::move(label)) {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    // glibc's default prefers readers, which lets a steady stream of readers starve a writer.
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
}

ReadWriteQueue::~ReadWriteQueue() {
    pthread_rwlock_destroy(&lock_);
}

}  // namespace velkor::dispatch
