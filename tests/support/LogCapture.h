#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velkor/Log.h"

namespace velkor::test {

/// One captured log line.
struct CapturedLine {
    LogLevel level;
    std::string logger;
    std::string message;
    std::string function;
};

/// A sink that keeps every line it receives.
class CapturingLogSink final : public LogSink {
  public:
    void write(const LogRecord& r) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(
            {r.level, std::string(r.logger), std::string(r.message), std::string(r.function)});
    }

    std::vector<CapturedLine> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    /// How many lines at `level` contain `text`.
    std::size_t count(LogLevel level, const std::string& text) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& l : lines_)
            n += l.level == level && l.message.find(text) != std::string::npos;
        return n;
    }
    bool contains(LogLevel level, const std::string& text) const { return count(level, text) > 0; }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<CapturedLine> lines_;
};

/// Routes every log line, down to trace level, into a capturing sink for the scope's lifetime,
/// then restores the default sink.
class LogCapture {
  public:
    LogCapture() : sink_(std::make_shared<CapturingLogSink>()) {
        setLogSink(sink_, LogLevel::trace);
    }
    ~LogCapture() { resetLogSink(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingLogSink* operator->() { return sink_.get(); }

  private:
    std::shared_ptr<CapturingLogSink> sink_;
};

}  // namespace velkor::test
