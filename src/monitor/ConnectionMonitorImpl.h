#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "velkor/VKConnectionMonitor.h"
#include "velkor/di/Container.h"
#include "velkor/rx/Scheduler.h"
#include "velkor/rx/Variable.h"

namespace velkor {

/// Resolves a connection, publishes it, and replaces it when it completes (10 seconds later) or
/// when the daemon announces that it is online (at once). A re-creation that gets no connection
/// publishes none and tries again 10 seconds later. Once disposed, the monitor re-creates
/// nothing, even for an announcement that was already on its way.
///
/// Re-creation and completion handling never overlap, whatever scheduler they run on: each is a
/// job, and jobs run one at a time, in the order they were asked for, on the thread that asked
/// while no other job runs (a job asked for meanwhile is left to that thread). The monitor's
/// lock guards only its own fields: nothing of the host's (the resolver and the connections it
/// builds, the observers of the connection) is ever called while it is held.
///
/// dispose() waits for a job in progress on another thread, so that once it returns the monitor
/// calls nothing of the host's any more (except the empty value dispose() itself publishes).
/// Called from within a job (an observer of the connection), it does not wait.
class ConnectionMonitorImpl final : public VKConnectionMonitor,
                                    public std::enable_shared_from_this<ConnectionMonitorImpl> {
  public:
    static constexpr std::chrono::duration<double> kPeriodOfRecreation{10.0};

    /// Builds the monitor and resolves a first connection. Without a BKProductDefines
    /// registration (the daemon's name) no monitor can be built: logs an error, gives none.
    static std::shared_ptr<ConnectionMonitorImpl> make(std::shared_ptr<di::Resolver> resolver,
                                                       rx::SchedulerPtr scheduler);
    ~ConnectionMonitorImpl() override;

    rx::Observable<std::shared_ptr<VKConnection>> observableConnection() const override {
        return connectionVar_.asObservable();
    }
    using VKConnectionMonitor::bootstrapSettings;
    void bootstrapSettings(const std::shared_ptr<VKContainer>& container, const std::string& domain,
                           VKOwnership ownership, std::int64_t maxAttempts,
                           std::uint32_t delayBetweenAttempts) override;
    void dispose() override;
    bool isDisposed() const override;

  private:
    ConnectionMonitorImpl(std::shared_ptr<di::Resolver> resolver, rx::SchedulerPtr scheduler);
    void observeDaemonOnline(const std::string& name);
    /// Runs `job` after the jobs asked for before it, never two at once.
    void runJob(std::function<void()> job);
    void recreateConnection();
    void handleConnectionCompletion(const std::weak_ptr<VKConnection>& completed);
    void scheduleRecreation();
    /// Assigns `connection` to connectionVar_; an observer that throws is logged.
    void publish(const std::shared_ptr<VKConnection>& connection);

    std::shared_ptr<di::Resolver> resolver_;
    rx::SchedulerPtr scheduler_;
    rx::Variable<std::shared_ptr<VKConnection>> connectionVar_{nullptr};

    mutable std::mutex mutex_;  // guards the fields below, and is held only to touch them
    bool disposed_ = false;
    std::deque<std::function<void()>> jobs_;
    bool runningJobs_ = false;
    std::thread::id jobThread_;         // the thread running jobs, while runningJobs_
    std::condition_variable jobsIdle_;  // notified when runningJobs_ turns false
    // The connection whose completion is watched; what connectionVar_ holds, except while a
    // job publishes it.
    std::shared_ptr<VKConnection> current_;
    struct {
        rx::DisposablePtr daemonOnline;
        rx::DisposablePtr connected;
        rx::DisposablePtr tryRecreateSchedule;
    } subscriptions_;
};

}  // namespace velkor
