#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velkor {

/// Severity of a log line, in rising order.
enum class LogLevel { trace = 0, debug = 1, info = 2, warning = 3, error = 4, off = 5 };

/// Short lower-case name of a level ("trace", "debug", "info", "warning", "error", "off").
std::string_view logLevelName(LogLevel level);

/// Parses a level name as written by logLevelName; gives no value for anything else.
std::optional<LogLevel> parseLogLevel(std::string_view name);

/// One formatted log line with where it was written.
struct LogRecord {
    LogLevel level;
    std::string_view logger;    ///< the logger's identifier, e.g. "Velkor.Connection"
    std::string_view message;   ///< the formatted message
    std::string_view file;      ///< the calling source file
    unsigned line;              ///< the calling line
    std::string_view function;  ///< the calling function
};

/// Where log lines go. Sinks are called from any thread, possibly at once.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

/// Replaces the process-wide sink and the lowest level that reaches it. Passing no sink restores
/// the default, which writes to standard error. The default level comes from the environment
/// variable VELKOR_LOG_LEVEL and is "warning" when it is unset or unreadable.
void setLogSink(std::shared_ptr<LogSink> sink, LogLevel minimumLevel);

/// Restores the default sink (standard error) and the level from VELKOR_LOG_LEVEL.
void resetLogSink();

/// The lowest level that currently reaches the sink.
LogLevel currentLogLevel();

}  // namespace velkor
