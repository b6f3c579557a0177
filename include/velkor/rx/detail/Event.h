#pragma once

#include <optional>
#include <utility>

#include "velkor/rx/Observer.h"

namespace velkor::rx::detail {

/// One event kept for later delivery: a value, an error or the completion.
template <typename T>
class Event {
  public:
    static Event next(T value) { return Event(Kind::next, std::move(value), nullptr); }
    static Event error(Error error) { return Event(Kind::error, std::nullopt, std::move(error)); }
    static Event completed() { return Event(Kind::completed, std::nullopt, nullptr); }

    bool isTerminal() const { return kind_ != Kind::next; }

    void deliverTo(Observer<T>& observer) const {
        switch (kind_) {
            case Kind::next:
                observer.onNext(*value_);
                break;
            case Kind::error:
                observer.onError(error_);
                break;
            case Kind::completed:
                observer.onCompleted();
                break;
        }
    }

  private:
    enum class Kind { next, error, completed };

    Event(Kind kind, std::optional<T> value, Error error)
        : kind_(kind), value_(std::move(value)), error_(std::move(error)) {}

    Kind kind_;
    std::optional<T> value_;
    Error error_;
};

}  // namespace velkor::rx::detail
