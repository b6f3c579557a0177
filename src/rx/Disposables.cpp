#include "velkor/rx/Disposables.h"

#include <atomic>
#include <memory>
#include <utility>

namespace velkor::rx {

namespace {

/// Runs its action on the first dispose(). The flag decides the single winner; only the winner
/// touches the action, so no lock is needed.
class ActionDisposable final : public Disposable {
  public:
    explicit ActionDisposable(std::function<void()> action) : action_(std::move(action)) {}

    void dispose() override {
        if (disposed_.exchange(true, std::memory_order_acq_rel))
            return;
        auto action = std::move(action_);
        if (action)
            action();
    }

    bool isDisposed() const override { return disposed_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> disposed_{false};
    std::function<void()> action_;
};

}  // namespace

DisposablePtr Disposables::create(std::function<void()> action) {
    return std::make_shared<ActionDisposable>(std::move(action));
}

DisposablePtr Disposables::create() {
    return std::make_shared<ActionDisposable>(nullptr);
}

}  // namespace velkor::rx
