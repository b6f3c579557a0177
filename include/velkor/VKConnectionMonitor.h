#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "velkor/VKConnection.h"
#include "velkor/VKOwnership.h"
#include "velkor/rx/Disposable.h"
#include "velkor/rx/Observable.h"

namespace velkor {

class VKContainer;

/// Keeps a usable connection to the settings daemon available across daemon restarts: a lost
/// connection is replaced 10 seconds later, or at once when the daemon comes back on the bus.
class VKConnectionMonitor : public rx::Disposable {
  public:
    /// The current connection (empty while there is none), then every replacement. A new
    /// subscriber receives the current value first.
    virtual rx::Observable<std::shared_ptr<VKConnection>> observableConnection() const = 0;

    /// Opens the settings of `domain`, creating them from `container` when they do not exist,
    /// through the current connection; retries up to `maxAttempts` times, sleeping
    /// `delayBetweenAttempts` microseconds after each attempt. A file whose data is invalid is
    /// deleted before the next attempt. Throws the last error when every attempt failed
    /// (connectionLost when no connection was available at all).
    virtual void bootstrapSettings(const std::shared_ptr<VKContainer>& container,
                                   const std::string& domain, VKOwnership ownership,
                                   std::int64_t maxAttempts,
                                   std::uint32_t delayBetweenAttempts) = 0;

    /// As above, with the delay as a duration: `bootstrapSettings(root, "org.example.app",
    /// VKOwnership::realUser(), 5, 250ms)`. A negative delay counts as none; one longer than
    /// the other form can express (about 71 minutes) is cut to that.
    void bootstrapSettings(const std::shared_ptr<VKContainer>& container, const std::string& domain,
                           VKOwnership ownership, std::int64_t maxAttempts,
                           std::chrono::microseconds delayBetweenAttempts) {
        auto micros = std::clamp<std::chrono::microseconds::rep>(
            delayBetweenAttempts.count(), 0, std::numeric_limits<std::uint32_t>::max());
        bootstrapSettings(container, domain, ownership, maxAttempts,
                          static_cast<std::uint32_t>(micros));
    }

    /// Three attempts, 0.1 second apart.
    void bootstrapSettings(const std::shared_ptr<VKContainer>& container, const std::string& domain,
                           VKOwnership ownership = VKOwnership::realUser()) {
        bootstrapSettings(container, domain, ownership, 3, 100000);
    }
};

using VKConnectionMonitorPtr = std::shared_ptr<VKConnectionMonitor>;

}  // namespace velkor
