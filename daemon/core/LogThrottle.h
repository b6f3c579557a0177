#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace velkor::daemon {

/// Keeps clients from flooding the journal with lines about their bad or refused requests: per
/// minute, at most `perClient` lines about one client and ten times as many in all get through.
/// The first line let through after some were held back says how many (`heldNote`).
///
/// A client is remembered for one window from its first line in it; at most `kClientsKept` at a
/// time, so that connections that each send one bad call keep it bounded in memory and in work
/// per line. Lines about further clients meanwhile count in the total only.
///
/// Thread-safe.
class LogThrottle {
  public:
    static constexpr std::size_t kDefaultPerClient = 10;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::size_t kClientsKept = 4096;
    using Clock = std::chrono::steady_clock;

    /// The throttle the daemon's log lines about clients go through.
    static LogThrottle& shared();

    void setPerClient(std::size_t perClient);

    /// Whether a line about `client` may be logged now; `held` is set to the number of lines
    /// about it held back since the last one let through.
    bool allow(std::string_view client, std::size_t& held) {
        return allow(client, held, Clock::now());
    }
    /// As above, at the time `now`.
    bool allow(std::string_view client, std::size_t& held, Clock::time_point now);

    /// How many clients are remembered.
    std::size_t clientsKept();

    /// " (N similar lines held back)", or nothing when `held` is 0.
    static std::string heldNote(std::size_t held);
    /// The key that throttles lines about all the direct channels of one user together: each
    /// channel is a client of its own, and a user may open one after another.
    static std::string userKey(std::uint32_t uid) { return "uid " + std::to_string(uid); }

  private:
    struct Count {
        Clock::time_point since;
        std::size_t lines = 0;
        std::size_t held = 0;
    };

    std::mutex mutex_;
    std::size_t perClient_ = kDefaultPerClient;
    std::unordered_map<std::string, Count> clients_;
    /// The clients remembered, by the start of their window, oldest first.
    std::deque<std::pair<Clock::time_point, std::string>> windows_;
    Count total_;
};

}  // namespace velkor::daemon
