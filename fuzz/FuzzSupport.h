// What the fuzz programs share: a check that stops the run, and the input read front to back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace velkor::fuzz {

/// Stops the run, so that the fuzzer keeps the input, when `condition` does not hold.
inline void check(bool condition) {
    if (!condition)
        std::abort();
}

/// Whether `view` lies wholly inside `blob` (an empty view anywhere).
inline bool inside(std::span<const std::uint8_t> view, std::span<const std::uint8_t> blob) {
    return view.empty() || (view.data() >= blob.data() && view.size() <= blob.size() &&
                            view.data() <= blob.data() + blob.size() - view.size());
}

/// The fuzzer's input, read front to back; reads past the end give zeros, or fewer bytes.
class Input {
  public:
    explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool empty() const { return bytes_.empty(); }
    std::uint8_t byte() {
        if (bytes_.empty())
            return 0;
        const auto b = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return b;
    }
    /// The next `n` bytes, or as many as are left.
    std::span<const std::uint8_t> take(std::size_t n) {
        n = std::min(n, bytes_.size());
        auto part = bytes_.first(n);
        bytes_ = bytes_.subspan(n);
        return part;
    }
    std::string text(std::size_t n) {
        const auto part = take(n);
        return std::string(part.begin(), part.end());
    }
    template <typename T>
    T number() {
        T value{};
        const auto part = take(sizeof(T));
        std::memcpy(&value, part.data(), part.size());
        return value;
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace velkor::fuzz
