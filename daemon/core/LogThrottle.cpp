#include "core/LogThrottle.h"

namespace velkor::daemon {

namespace {

/// Past this many clients, those whose window has ended are forgotten.
constexpr std::size_t kClientsKept = 1024;

}  // namespace

LogThrottle& LogThrottle::shared() {
    static LogThrottle throttle;
    return throttle;
}

void LogThrottle::setPerClient(std::size_t perClient) {
    std::lock_guard lock(mutex_);
    perClient_ = perClient;
}

bool LogThrottle::allow(std::string_view client, std::size_t& held) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    auto renew = [&](Count& count) {
        if (now - count.since >= kWindow) {
            count.since = now;
            count.lines = 0;
        }
    };
    if (clients_.size() >= kClientsKept) {
        std::erase_if(clients_, [&](const auto& entry) {
            return now - entry.second.since >= kWindow && entry.second.held == 0;
        });
    }
    auto [it, added] = clients_.try_emplace(std::string(client), Count{now});
    Count& count = it->second;
    renew(count);
    renew(total_);
    if (count.lines >= perClient_ || total_.lines >= 10 * perClient_) {
        ++count.held;
        held = 0;
        return false;
    }
    ++count.lines;
    ++total_.lines;
    held = count.held;
    count.held = 0;
    return true;
}

std::string LogThrottle::heldNote(std::size_t held) {
    return held == 0 ? std::string() : " (" + std::to_string(held) + " similar lines held back)";
}

}  // namespace velkor::daemon
