#pragma once

#include <functional>
#include <utility>

#include "velkor/rx/Observer.h"

namespace velkor::rx::detail {

/// An observer made of three optional handlers; a missing handler ignores its events.
template <typename T>
class AnonymousObserver final : public Observer<T> {
  public:
    AnonymousObserver(std::function<void(const T&)> onNext, std::function<void(Error)> onError,
                      std::function<void()> onCompleted)
        : onNext_(std::move(onNext)),
          onError_(std::move(onError)),
          onCompleted_(std::move(onCompleted)) {}

    void onNext(const T& value) override {
        if (onNext_)
            onNext_(value);
    }
    void onError(Error error) override {
        if (onError_)
            onError_(std::move(error));
    }
    void onCompleted() override {
        if (onCompleted_)
            onCompleted_();
    }

  private:
    std::function<void(const T&)> onNext_;
    std::function<void(Error)> onError_;
    std::function<void()> onCompleted_;
};

}  // namespace velkor::rx::detail
