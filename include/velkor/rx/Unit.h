#pragma once

namespace velkor::rx {

/// The value type of event streams that carry no data (`Observable<Unit>`): only the arrival of
/// an event, or the stream's end, means something.
struct Unit {
    friend constexpr bool operator==(Unit, Unit) = default;
};

}  // namespace velkor::rx
