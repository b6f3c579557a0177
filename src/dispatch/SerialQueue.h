#pragma once

#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace velkor::dispatch {

/// A serial queue used only synchronously: `sync` runs a callable on the caller's thread while
/// no other `sync` of the same queue runs. Not re-entrant. The label is kept for logs and tests.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label) : label_(std::move(label)) {}
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    /// Runs `f` exclusively and returns its result; an exception leaves after the unlock.
    template <typename F>
    std::invoke_result_t<F&> sync(F&& f) {
        std::lock_guard lock(mutex_);
        return f();
    }

  private:
    std::string label_;
    std::mutex mutex_;
};

}  // namespace velkor::dispatch
