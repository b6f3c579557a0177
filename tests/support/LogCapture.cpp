#include "LogCapture.h"

namespace velkor::test {

void CapturingLogSink::write(const LogRecord& r) {
    std::lock_guard lock(mutex_);
    lines_.push_back(
        {r.level, std::string(r.logger), std::string(r.message), std::string(r.function)});
}

std::vector<CapturedLine> CapturingLogSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::size_t CapturingLogSink::count(LogLevel level, const std::string& text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_) {
        if (l.level == level && l.message.find(text) != std::string::npos)
            ++n;
    }
    return n;
}

void CapturingLogSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

LogCapture::LogCapture() : sink_(std::make_shared<CapturingLogSink>()) {
    setLogSink(sink_, LogLevel::trace);
}

LogCapture::~LogCapture() {
    resetLogSink();
}

}  // namespace velkor::test
