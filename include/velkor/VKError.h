#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>

namespace velkor {

/// The one error type of the library. Every failing operation throws a VKError; its raw value
/// (0 to 13) is shared with the settings daemon, which reports refused requests by number.
class VKError : public std::exception {
  public:
    enum Code : std::int64_t {
        cannotConnect = 0,
        connectionLost = 1,
        fileAlreadyExists = 2,
        fileDoesNotExist = 3,
        pathDoesNotExist = 4,
        containerNotFound = 5,
        indexOutOfRange = 6,
        circularReferences = 7,
        notTheSameRoot = 8,
        invalidData = 9,
        synchronizeConflict = 10,
        invalidFileData = 11,
        serverError = 12,
        notImplementedYet = 13,
    };

    VKError(Code code)
        : code_(code) {}  // NOLINT(google-explicit-constructor): errors read as codes

    /// The error whose raw value is `raw`, or no value outside 0..13.
    static std::optional<VKError> fromRawValue(std::int64_t raw);

    Code code() const { return code_; }
    std::int64_t rawValue() const { return code_; }

    /// The case name in upper camel case, e.g. "ConnectionLost"; what log lines print.
    std::string_view description() const;
    /// A sentence for people, e.g. "Connection to the Settings server was lost.".
    std::string_view localizedDescription() const;
    /// The description.
    const char* what() const noexcept override;

    friend bool operator==(const VKError& a, const VKError& b) { return a.code_ == b.code_; }

  private:
    Code code_;
};

}  // namespace velkor

template <>
struct std::hash<velkor::VKError> {
    std::size_t operator()(const velkor::VKError& e) const noexcept {
        return static_cast<std::size_t>(e.rawValue());
    }
};
