#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velkor {

/// An immutable byte buffer that is cheap to copy: messages carrying settings trees are copied
/// between threads and subjects, and the bytes themselves are shared rather than duplicated.
class Blob {
  public:
    Blob() = default;
    explicit Blob(std::vector<std::uint8_t> bytes)
        : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}
    Blob(const std::uint8_t* data, std::size_t size)
        : Blob(std::vector<std::uint8_t>(data, data + size)) {}

    std::span<const std::uint8_t> bytes() const {
        return bytes_ ? std::span<const std::uint8_t>(*bytes_) : std::span<const std::uint8_t>();
    }
    const std::uint8_t* data() const { return bytes_ ? bytes_->data() : nullptr; }
    std::size_t size() const { return bytes_ ? bytes_->size() : 0; }
    bool empty() const { return size() == 0; }

    friend bool operator==(const Blob& a, const Blob& b) {
        auto x = a.bytes();
        auto y = b.bytes();
        return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
    }

  private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

}  // namespace velkor
