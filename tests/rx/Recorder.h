#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velkor/rx/Observable.h"

namespace velkor::rx::test {

/// The name of the calling thread (schedulers name their threads after their
/// label).
inline std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

/// Records what a subscription delivers, from any thread; waits give up after
/// 20 s so that a lost event fails the test instead of hanging it.
template <typename T>
class Recorder : public std::enable_shared_from_this<Recorder<T>> {
  public:
    static std::shared_ptr<Recorder> make() { return std::make_shared<Recorder>(); }

    DisposablePtr subscribeTo(const Observable<T>& observable) {
        auto self = this->shared_from_this();
        return observable.subscribe([self](const T& value) { self->record(&value, "value"); },
                                    [self](Error e) {
                                        try {
                                            std::rethrow_exception(e);
                                        } catch (const std::exception& x) {
                                            self->record(nullptr, x.what());
                                        }
                                    },
                                    [self] { self->record(nullptr, "completed"); },
                                    [self] { self->record(nullptr, "disposed"); });
    }

    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    /// Everything in order: "value", "completed", "disposed" or an error's
    /// message.
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// Records a value as if delivered, for tests that subscribe with handlers of
    /// their own.
    void recordValue(const T& value) { record(&value, "value"); }

    bool waitForEvents(std::size_t count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return events_.size() >= count; });
    }

  private:
    void record(const T* value, std::string event) {
        std::lock_guard lock(mutex_);
        if (value)
            values_.push_back(*value);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<T> values_;
    std::vector<std::string> events_;
};

}  // namespace velkor::rx::test
