#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velkor/VKObjectBase.h"

namespace velkor {

/// A text value (UTF-8). Two strings are equal when they are canonically equivalent Unicode,
/// e.g. a precomposed "é" and "e" followed by a combining acute accent.
class VKString final : public VKObjectBase {
  public:
    explicit VKString(std::string value = {})
        : VKObjectBase(Kind::string), value_(std::move(value)) {}
    explicit VKString(const char* value) : VKString(std::string(value)) {}

    const std::string& value() const { return value_; }
    std::string description() const override { return value_; }
    bool equal(const VKObjectBase& other) const override;

  private:
    std::string value_;
};

/// A signed 64-bit integer value. Booleans are numbers too: true is stored as 1, false as 0.
class VKNumber final : public VKObjectBase {
  public:
    explicit VKNumber(std::int64_t value = 0) : VKObjectBase(Kind::number), value_(value) {}

    /// The number 1 for true and 0 for false.
    static std::shared_ptr<VKNumber> withBool(bool value) {
        return std::make_shared<VKNumber>(value ? 1 : 0);
    }

    std::int64_t value() const { return value_; }
    /// True for every non-zero value.
    bool boolValue() const { return value_ != 0; }
    std::string description() const override { return std::to_string(value_); }
    bool equal(const VKObjectBase& other) const override;

  private:
    std::int64_t value_;
};

/// A byte-string value.
class VKData final : public VKObjectBase {
  public:
    explicit VKData(std::vector<std::uint8_t> value = {})
        : VKObjectBase(Kind::data), value_(std::move(value)) {}

    const std::vector<std::uint8_t>& value() const { return value_; }
    /// The length, e.g. "3 bytes".
    std::string description() const override { return std::to_string(value_.size()) + " bytes"; }
    bool equal(const VKObjectBase& other) const override;

  private:
    std::vector<std::uint8_t> value_;
};

}  // namespace velkor
