#pragma once

#include <functional>

#include "velkor/rx/Disposable.h"

namespace velkor::rx {

/// Factories of plain disposables.
class Disposables {
  public:
    Disposables() = delete;

    /// A disposable that runs `action` on its first `dispose()`, exactly once even when
    /// disposed from several threads at once; the callers that lose the race return at once,
    /// possibly before the action has finished. The action is released after it has run.
    static DisposablePtr create(std::function<void()> action);

    /// A disposable with nothing to end; it only records that it was disposed.
    static DisposablePtr create();
};

}  // namespace velkor::rx
