#include "velkor/rx/CompositeDisposable.h"

#include <utility>

namespace velkor::rx {

CompositeDisposable::~CompositeDisposable() {
    dispose();
}

void CompositeDisposable::add(DisposablePtr disposable) {
    if (!disposable)
        return;
    {
        std::lock_guard lock(mutex_);
        if (!disposed_) {
            items_.push_back(std::move(disposable));
            return;
        }
    }
    disposable->dispose();
}

std::size_t CompositeDisposable::count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void CompositeDisposable::dispose() {
    std::vector<DisposablePtr> items;
    {
        std::lock_guard lock(mutex_);
        if (disposed_)
            return;
        disposed_ = true;
        items.swap(items_);
    }
    // Outside the lock: a disposal may re-enter add() (which then disposes at once).
    for (auto& item : items)
        item->dispose();
}

bool CompositeDisposable::isDisposed() const {
    std::lock_guard lock(mutex_);
    return disposed_;
}

}  // namespace velkor::rx
