#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velkor::daemon {

/// Keeps clients from flooding the journal with lines about their bad or refused requests: per
/// minute, at most `perClient` lines about one client and ten times as many in all get through.
/// The first line let through after some were held back says how many (`heldNote`).
///
/// Thread-safe.
class LogThrottle {
  public:
    static constexpr std::size_t kDefaultPerClient = 10;
    static constexpr std::chrono::seconds kWindow{60};

    /// The throttle the daemon's log lines about clients go through.
    static LogThrottle& shared();

    void setPerClient(std::size_t perClient);

    /// Whether a line about `client` may be logged now; `held` is set to the number of lines
    /// about it held back since the last one let through.
    bool allow(std::string_view client, std::size_t& held);

    /// " (N similar lines held back)", or nothing when `held` is 0.
    static std::string heldNote(std::size_t held);

  private:
    using Clock = std::chrono::steady_clock;
    struct Count {
        Clock::time_point since;
        std::size_t lines = 0;
        std::size_t held = 0;
    };

    std::mutex mutex_;
    std::size_t perClient_ = kDefaultPerClient;
    std::unordered_map<std::string, Count> clients_;
    Count total_;
};

}  // namespace velkor::daemon
