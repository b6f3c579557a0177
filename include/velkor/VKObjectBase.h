#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velkor {

class VKNumber;
class VKString;
class VKData;
class VKContainer;
class VKArray;
class VKDictionary;

/// Every node of a settings tree: a shared, reference-counted value with a kind. Scalars
/// (VKString, VKNumber, VKData) are immutable; containers (VKArray, VKDictionary and proxies for
/// containers not fetched yet) hold further values.
class VKObjectBase {
  public:
    /// The kind of a value; the raw values are part of the wire format.
    enum class Kind : std::uint8_t {
        number = 0,
        string = 1,
        data = 2,
        array = 3,
        dictionary = 4,
        containerProxy = 5,
    };

    /// The kind with raw value `raw` (0 to 5), or no value.
    static std::optional<Kind> kindFromRawValue(std::int64_t raw);
    /// "number", "string", "data", "array", "dictionary" or "proxy".
    static std::string_view kindDescription(Kind kind);

    virtual ~VKObjectBase() = default;
    VKObjectBase(const VKObjectBase&) = delete;
    VKObjectBase& operator=(const VKObjectBase&) = delete;

    Kind kind() const { return kind_; }

    /// A short text form: a string's text, a number's digits, "3 bytes", "dic(id=..., count=2)".
    virtual std::string description() const = 0;

    /// Compares with another value of the same kind; reached through operator==.
    virtual bool equal(const VKObjectBase& other) const = 0;

    // Type tests and conversions. The conversions test the object's class, so a container proxy
    // is a container but neither an array nor a dictionary.
    bool isScalar() const { return static_cast<int>(kind_) < 3; }
    bool isNumber() const { return kind_ == Kind::number; }
    bool isString() const { return kind_ == Kind::string; }
    bool isData() const { return kind_ == Kind::data; }
    bool isArray() const { return kind_ == Kind::array; }
    bool isDictionary() const { return kind_ == Kind::dictionary; }
    bool isContainer() const { return static_cast<int>(kind_) >= 3; }

  protected:
    explicit VKObjectBase(Kind kind) : kind_(kind) {}

  private:
    const Kind kind_;
};

using VKObjectPtr = std::shared_ptr<VKObjectBase>;

/// Value equality: the same object; or the same kind and equal values (strings under Unicode
/// canonical equivalence, numbers and bytes exactly, containers by their non-zero id).
bool operator==(const VKObjectBase& a, const VKObjectBase& b);

/// Equality of two possibly empty references: both empty, or both set and equal values.
bool equalValues(const VKObjectPtr& a, const VKObjectPtr& b);

}  // namespace velkor
