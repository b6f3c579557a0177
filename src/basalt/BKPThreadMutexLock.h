#pragma once

#include <pthread.h>

#include <type_traits>
#include <utility>

namespace velkor::basalt {

/// A POSIX mutex with a scoped `sync`. Non-recursive unless asked otherwise: the library only
/// guards one-way flags with it and never re-enters.
class BKPThreadMutexLock {
  public:
    explicit BKPThreadMutexLock(bool recursive = false) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr,
                                  recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~BKPThreadMutexLock() { pthread_mutex_destroy(&mutex_); }
    BKPThreadMutexLock(const BKPThreadMutexLock&) = delete;
    BKPThreadMutexLock& operator=(const BKPThreadMutexLock&) = delete;

    /// Runs `f` while holding the lock and returns its result. An exception thrown by `f` is
    /// passed on after the lock has been released.
    template <typename F>
    std::invoke_result_t<F&> sync(F&& f) {
        Guard guard(mutex_);
        return f();
    }

  private:
    struct Guard {
        explicit Guard(pthread_mutex_t& m) : m(m) { pthread_mutex_lock(&m); }
        ~Guard() { pthread_mutex_unlock(&m); }
        pthread_mutex_t& m;
    };

    pthread_mutex_t mutex_;
};

}  // namespace velkor::basalt
