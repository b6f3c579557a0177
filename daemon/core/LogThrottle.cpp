#include "core/LogThrottle.h"

namespace velkor::daemon {

LogThrottle& LogThrottle::shared() {
    static LogThrottle throttle;
    return throttle;
}

void LogThrottle::setPerClient(std::size_t perClient) {
    std::lock_guard lock(mutex_);
    perClient_ = perClient;
}

bool LogThrottle::allow(std::string_view client, std::size_t& held, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    held = 0;
    // Clients whose window has ended are forgotten, oldest first: each is dropped once.
    while (!windows_.empty() && now - windows_.front().first >= kWindow) {
        clients_.erase(windows_.front().second);
        windows_.pop_front();
    }
    if (now - total_.since >= kWindow) {
        total_.since = now;
        total_.lines = 0;
    }
    auto it = clients_.find(std::string(client));
    if (it == clients_.end()) {
        if (clients_.size() >= kClientsKept) {
            if (total_.lines >= 10 * perClient_)
                return false;
            ++total_.lines;
            return true;
        }
        it = clients_.emplace(std::string(client), Count{now}).first;
        windows_.emplace_back(now, it->first);
    }
    Count& count = it->second;
    if (count.lines >= perClient_ || total_.lines >= 10 * perClient_) {
        ++count.held;
        return false;
    }
    ++count.lines;
    ++total_.lines;
    held = count.held;
    count.held = 0;
    return true;
}

std::size_t LogThrottle::clientsKept() {
    std::lock_guard lock(mutex_);
    return clients_.size();
}

std::string LogThrottle::heldNote(std::size_t held) {
    return held == 0 ? std::string() : " (" + std::to_string(held) + " similar lines held back)";
}

}  // namespace velkor::daemon
