#pragma once

#include <pthread.h>

#include <string>
#include <type_traits>
#include <utility>

namespace velkor::dispatch {

/// A concurrent queue used only synchronously. Ordinary blocks (`sync`) share it and run
/// together; barrier blocks (`syncBarrier`) run alone, after the blocks already running. Writers
/// are preferred, so a stream of readers cannot starve a barrier. Not re-entrant.
class ReadWriteQueue {
  public:
    explicit ReadWriteQueue(std::string label);
    ~ReadWriteQueue();
    ReadWriteQueue(const ReadWriteQueue&) = delete;
    ReadWriteQueue& operator=(const ReadWriteQueue&) = delete;

    const std::string& label() const { return label_; }

    /// Runs `f` as an ordinary (shared) block and returns its result.
    template <typename F>
    std::invoke_result_t<F&> sync(F&& f) {
        SharedGuard guard(lock_);
        return f();
    }

    /// Runs `f` as a barrier (exclusive) block and returns its result.
    template <typename F>
    std::invoke_result_t<F&> syncBarrier(F&& f) {
        ExclusiveGuard guard(lock_);
        return f();
    }

  private:
    struct SharedGuard {
        explicit SharedGuard(pthread_rwlock_t& l) : l(l) { pthread_rwlock_rdlock(&l); }
        ~SharedGuard() { pthread_rwlock_unlock(&l); }
        pthread_rwlock_t& l;
    };
    struct ExclusiveGuard {
        explicit ExclusiveGuard(pthread_rwlock_t& l) : l(l) { pthread_rwlock_wrlock(&l); }
        ~ExclusiveGuard() { pthread_rwlock_unlock(&l); }
        pthread_rwlock_t& l;
    };

    std::string label_;
    pthread_rwlock_t lock_;
};

}  // namespace velkor::dispatch
