#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "velkor/VKConnectionMonitor.h"
#include "velkor/di/Container.h"
#include "velkor/rx/Scheduler.h"
#include "velkor/rx/Variable.h"

namespace velkor {

/// Resolves a connection, publishes it, and replaces it when it completes (10 seconds later) or
/// when the daemon announces that it is online (at once). Re-creation and completion handling
/// never overlap: both run under one lock, whatever scheduler they run on. Once disposed, the
/// monitor re-creates nothing, even for an announcement that was already on its way.
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
    void recreateConnection();
    void handleConnectionCompletion();

    std::shared_ptr<di::Resolver> resolver_;
    rx::SchedulerPtr scheduler_;
    rx::Variable<std::shared_ptr<VKConnection>> connectionVar_{nullptr};

    mutable std::recursive_mutex mutex_;  // re-creation, completion handling, dispose
    bool disposed_ = false;
    struct {
        rx::DisposablePtr daemonOnline;
        rx::DisposablePtr connected;
        rx::DisposablePtr tryRecreateSchedule;
    } subscriptions_;
};

}  // namespace velkor
