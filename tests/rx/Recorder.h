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

/// The name of the calling thread (schedulers name their threads after their label).
inline std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

/// Records what one or more subscriptions deliver, from any thread, and lets a test wait for
/// it. Waits give up after a generous bound so that a lost event fails the test instead of
/// hanging it.
template <typename T>
class Recorder : public std::enable_shared_from_this<Recorder<T>> {
  public:
    static std::shared_ptr<Recorder> make() { return std::make_shared<Recorder>(); }

    DisposablePtr subscribeTo(const Observable<T>& observable) {
        auto self = this->shared_from_this();
        return observable.subscribe(
            [self](const T& value) { self->recordValue(value); },
            [self](Error error) { self->record([&] { self->errors_.push_back(error); }); },
            [self] { self->record([&] { ++self->completions_; }); },
            [self] { self->record([&] { ++self->disposals_; }); });
    }

    /// Records a value as if delivered, for tests that subscribe with handlers of their own.
    void recordValue(const T& value) {
        record([&] { values_.push_back(value); });
    }

    std::vector<T> values() const {
        return read([&] { return values_; });
    }
    std::vector<Error> errors() const {
        return read([&] { return errors_; });
    }
    int completions() const {
        return read([&] { return completions_; });
    }
    int disposals() const {
        return read([&] { return disposals_; });
    }
    std::vector<std::string> threadNames() const {
        return read([&] { return threadNames_; });
    }

    /// Waits until `count` values have arrived; false if they did not within the bound.
    bool waitForValues(std::size_t count) const {
        return waitUntil([&] { return values_.size() >= count; });
    }
    /// Waits until the stream has ended (error or completion).
    bool waitForEnd() const {
        return waitUntil([&] { return completions_ + errors_.size() > 0; });
    }

  private:
    template <typename F>
    void record(F change) {
        std::lock_guard lock(mutex_);
        change();
        threadNames_.push_back(currentThreadName());
        changed_.notify_all();
    }

    template <typename F>
    auto read(F get) const {
        std::lock_guard lock(mutex_);
        return get();
    }

    template <typename P>
    bool waitUntil(P done) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), done);
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<T> values_;
    std::vector<Error> errors_;
    int completions_ = 0;
    int disposals_ = 0;
    std::vector<std::string> threadNames_;
};

/// The message of the std::runtime_error (or other std::exception) inside an error event.
inline std::string errorMessage(const Error& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "?";
    }
}

}  // namespace velkor::rx::test
