#include "basalt/QZLogger.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

namespace velkor {

namespace {

constexpr std::string_view kLevelNames[] = {"trace", "debug", "info", "warning", "error", "off"};

// Writes one line per record to standard error: time, level, logger, message.
class StderrSink final : public LogSink {
  public:
    void write(const LogRecord& r) override {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        tm parts{};
        gmtime_r(&tv.tv_sec, &parts);
        char stamp[32];
        std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &parts);
        std::string line;
        line.reserve(r.message.size() + 96);
        line += stamp;
        char millis[16];
        std::snprintf(millis, sizeof(millis), ".%03dZ ", static_cast<int>(tv.tv_usec / 1000));
        line += millis;
        line += logLevelName(r.level);
        line += ' ';
        line += r.logger;
        line += ": ";
        line += r.message;
        line += '\n';
        // One write per line keeps lines from different threads whole.
        ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
    }
};

LogLevel levelFromEnvironment() {
    const char* value = std::getenv("VELKOR_LOG_LEVEL");
    if (value != nullptr) {
        if (auto level = parseLogLevel(value))
            return *level;
    }
    return LogLevel::warning;
}

struct SinkState {
    std::mutex mutex;
    std::shared_ptr<LogSink> sink = std::make_shared<StderrSink>();
    std::atomic<int> minimum{static_cast<int>(levelFromEnvironment())};
};

SinkState& sinkState() {
    static SinkState* state = new SinkState();  // never destroyed: loggers run in static teardown
    return *state;
}

}  // namespace

std::string_view logLevelName(LogLevel level) {
    return kLevelNames[static_cast<int>(level)];
}

std::optional<LogLevel> parseLogLevel(std::string_view name) {
    for (int i = 0; i < 6; ++i) {
        if (kLevelNames[i] == name)
            return static_cast<LogLevel>(i);
    }
    return std::nullopt;
}

void setLogSink(std::shared_ptr<LogSink> sink, LogLevel minimumLevel) {
    auto& state = sinkState();
    std::lock_guard lock(state.mutex);
    state.sink = sink ? std::move(sink) : std::make_shared<StderrSink>();
    state.minimum.store(static_cast<int>(minimumLevel), std::memory_order_relaxed);
}

void resetLogSink() {
    setLogSink(nullptr, levelFromEnvironment());
}

LogLevel currentLogLevel() {
    return static_cast<LogLevel>(sinkState().minimum.load(std::memory_order_relaxed));
}

namespace basalt {

QZLogger& QZLogger::loggerWithIdentifier(std::string_view identifier) {
    static std::mutex mutex;
    static auto* loggers = new std::map<std::string, std::unique_ptr<QZLogger>, std::less<>>();
    std::lock_guard lock(mutex);
    auto it = loggers->find(identifier);
    if (it == loggers->end()) {
        std::string key(identifier);
        it = loggers->emplace(key, std::unique_ptr<QZLogger>(new QZLogger(key))).first;
    }
    return *it->second;
}

bool QZLogger::enabled(LogLevel level) {
    return static_cast<int>(level) >= sinkState().minimum.load(std::memory_order_relaxed);
}

std::string QZLogger::format(std::string_view fmt, const std::string* args, std::size_t count) {
    std::string out;
    out.reserve(fmt.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c == '%' && i + 1 < fmt.size()) {
            char spec = fmt[i + 1];
            if (spec == '@' || spec == 'd') {
                // A placeholder without an argument stays as written, so a mismatch is visible.
                if (next < count) {
                    out += args[next++];
                } else {
                    out.append(fmt.substr(i, 2));
                }
                ++i;
                continue;
            }
            if (spec == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

void QZLogger::emit(LogLevel level, const LogFormat& f, const std::string& message) const {
    std::shared_ptr<LogSink> sink;
    {
        auto& state = sinkState();
        std::lock_guard lock(state.mutex);
        sink = state.sink;
    }
    sink->write(LogRecord{level, identifier_, message, f.file, f.line, f.function});
}

}  // namespace basalt
}  // namespace velkor
