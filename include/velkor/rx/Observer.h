#pragma once

#include <memory>

#include "velkor/rx/Error.h"

namespace velkor::rx {

/// Receives the events of one subscription: any number of `onNext`, then at most one of
/// `onError` or `onCompleted`, after which nothing more arrives.
template <typename T>
class Observer {
  public:
    virtual ~Observer() = default;

    virtual void onNext(const T& value) = 0;
    virtual void onError(Error error) = 0;
    virtual void onCompleted() = 0;
};

template <typename T>
using ObserverPtr = std::shared_ptr<Observer<T>>;

}  // namespace velkor::rx
