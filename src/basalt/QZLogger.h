#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "velkor/Log.h"

namespace velkor::basalt {

/// A format string together with the place it was written, so that every log call records its
/// caller's file, line and function without macros.
struct LogFormat {
    // The builtins (rather than std::source_location) also work with clang 14, which builds
    // the fuzzers.
    template <typename S>
    requires std::convertible_to<const S&, std::string_view> LogFormat(
        const S& text, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
        const char* function = __builtin_FUNCTION())
        : text(text), file(file), line(line), function(function) {}

    std::string_view text;
    const char* file;
    unsigned line;
    const char* function;
};

/// The text a log argument renders as: objects with a description() (directly or through a
/// pointer) render it, strings render themselves, booleans "true"/"false", integers in decimal.
template <typename T>
std::string logText(const T& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_integral_v<V>) {
        return std::to_string(value);
    } else if constexpr (std::is_floating_point_v<V>) {
        return std::to_string(value);
    } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (requires { value.description(); }) {
        return std::string(value.description());
    } else if constexpr (requires { value->description(); }) {
        return value ? std::string(value->description()) : std::string("nil");
    } else {
        static_assert(sizeof(V) == 0, "no log text for this type");
    }
}

/// A named logger. Obtain one per source file with loggerWithIdentifier and keep it in a
/// file-level variable. Formats take "%@" (an argument's text form) and "%d" (an integer);
/// "%%" writes a percent sign. Nothing is formatted when the level is filtered out.
class QZLogger {
  public:
    static QZLogger& loggerWithIdentifier(std::string_view identifier);

    std::string_view identifier() const { return identifier_; }

    template <typename... A>
    void trace(LogFormat f, const A&... a) const {
        log(LogLevel::trace, f, a...);
    }
    template <typename... A>
    void debug(LogFormat f, const A&... a) const {
        log(LogLevel::debug, f, a...);
    }
    template <typename... A>
    void info(LogFormat f, const A&... a) const {
        log(LogLevel::info, f, a...);
    }
    template <typename... A>
    void warning(LogFormat f, const A&... a) const {
        log(LogLevel::warning, f, a...);
    }
    template <typename... A>
    void error(LogFormat f, const A&... a) const {
        log(LogLevel::error, f, a...);
    }

    static bool enabled(LogLevel level);

    /// Substitutes the placeholders of a format with already rendered arguments.
    static std::string format(std::string_view fmt, const std::string* args, std::size_t count);

  private:
    explicit QZLogger(std::string identifier) : identifier_(std::move(identifier)) {}

    template <typename... A>
    void log(LogLevel level, const LogFormat& f, const A&... a) const {
        if (!enabled(level))
            return;
        if constexpr (sizeof...(A) == 0) {
            emit(level, f, format(f.text, nullptr, 0));
        } else {
            const std::string rendered[] = {logText(a)...};
            emit(level, f, format(f.text, rendered, sizeof...(A)));
        }
    }

    void emit(LogLevel level, const LogFormat& f, const std::string& message) const;

    std::string identifier_;
};

}  // namespace velkor::basalt
