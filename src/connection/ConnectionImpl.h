#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "basalt/BKPThreadMutexLock.h"
#include "channel/ConnectionToServer.h"
#include "channel/VirtualChannelSyncAdapter.h"
#include "connection/LookupMapOfContainers.h"
#include "dispatch/SerialActionQueue.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "utils/OperationDeadline.h"
#include "velkor/di/Container.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Scheduler.h"

namespace velkor {

/// The connection to the settings daemon: every settings operation of the host and every request
/// that a container makes goes through it. It owns the transport (resolved from the dependency
/// container), the synchronous adapter over the transport's channel, the registry of live
/// containers and the lookup map of handed-out ones.
///
/// Threads. Operations run on their callers' threads. Each request blocks for at most the
/// request time-out (5 seconds by default); an opening, which may make several requests and wait
/// for another opening, for at most one request time-out in all (see OperationDeadline). Messages
/// the daemon pushes (other clients' changes) are handled on a serial queue of the connection's
/// own, in arrival order, never on the thread that delivers answers: a change waiting for a
/// container's lock must not hold up the answer that the lock's holder waits for. Container events
/// are delivered on the host's scheduler through a per-connection queue, one at a time and in
/// posting order, whatever kind of scheduler the host gave.
class ConnectionImpl final : public InnerConnection,
                             public std::enable_shared_from_this<ConnectionImpl> {
  public:
    using SyncAdapter = VirtualChannelSyncAdapter<VirtualChannelToServer>;

    /// How long one request waits for the daemon's answer.
    static constexpr std::chrono::seconds kRequestTimeout{5};

    /// Builds a connection over the ConnectionToServer that `resolver` gives, whose requests
    /// wait `requestTimeout` for their answers. Without a registered transport no connection
    /// can be built: logs an error and gives none.
    static std::shared_ptr<ConnectionImpl> make(
        const di::Resolver& resolver, rx::SchedulerPtr scheduler,
        std::chrono::nanoseconds requestTimeout = kRequestTimeout);
    ~ConnectionImpl() override;

    const UUID& id() const { return id_; }
    /// Where container events are delivered.
    const rx::SchedulerPtr& scheduler() const { return scheduler_; }

    // VKConnection
    rx::Observable<rx::Unit> asObservable() override { return connectedSubject_.asObservable(); }
    void createSettings(const std::shared_ptr<VKContainer>& root, const std::string& domain,
                        VKOwnership ownership) override;
    OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>& root,
                                    const std::string& domain, VKOwnership ownership) override;
    VKObjectPtr getSetting(const std::string& domain, const std::string& path, bool recursiveFetch,
                           VKOwnership ownership) override;
    void deleteSettings(const std::string& domain, VKOwnership ownership) override;
    void dispose() override;
    bool isDisposed() const override { return shutdown_.flag.load(std::memory_order_acquire); }

    // InnerConnection
    RegistryOfContainers& registryOfContainers() override { return registryOfContainers_; }
    void unregisterContainer(const UUID& id) override;
    void unregisterContainer(const UUID& id,
                             const std::weak_ptr<const VKContainerBase>& container) override;
    std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr& change) override;
    std::shared_ptr<VKContainer> resolveContainerProxy(const UUID& containerId,
                                                       bool recursiveFetch) override;
    void setHasSubscription(const UUID& containerId, bool hasSubscription) override;
    void schedule(std::function<void()> action) override;
    void scheduleAfterPushes(std::function<void()> action,
                             std::chrono::milliseconds delay) override;
    std::chrono::nanoseconds requestTimeout() const override { return requestTimeout_; }

    struct Params {
        std::string domain;
        std::uint32_t user;
        std::string path;
    };
    /// Lower-case domain, numeric user, path without leading and trailing "/". An empty domain
    /// logs "Domain can't be empty." and throws invalidData.
    static Params normalizeParams(const std::string& domain, VKOwnership ownership,
                                  const std::string& path);

  private:
    ConnectionImpl(std::shared_ptr<ConnectionToServer> transport, rx::SchedulerPtr scheduler,
                   std::chrono::nanoseconds requestTimeout);
    void subscribeToChannel();

    /// Throws connectionLost (with its log line) once the connection has been disposed.
    void throwIfShutDown() const;
    bool atomicSetShutdown();

    /// Sends `request` and waits for its answer until the deadline of the operation running on
    /// this thread (see OperationDeadline), or for the request time-out.
    ServerResponse send(const ClientRequest& request) {
        return serverSyncChannel_->sync(
            request,
            OperationDeadline::current(
                std::chrono::duration_cast<OperationDeadline::Clock::duration>(requestTimeout_)));
    }

    void handleNotification(const ServerResponse& message);
    void handleSettingsChanged(const ServerResponse::NoteChanges& changes);
    void handleSettingsDeleted(const UUID& rootId, bool postNotifications);

    UUID id_;
    RegistryOfContainers registryOfContainers_;
    rx::SchedulerPtr scheduler_;
    std::chrono::nanoseconds requestTimeout_;
    std::shared_ptr<dispatch::SerialActionQueue> events_;  // container events, in order
    rx::SchedulerPtr notifications_;  // daemon pushes: one thread of the connection's own
    rx::PublishSubject<rx::Unit> connectedSubject_;
    std::shared_ptr<ConnectionToServer> connectionToServer_;
    std::shared_ptr<SyncAdapter> serverSyncChannel_;
    LookupMapOfContainers lookupMapOfContainers_;
    struct {
        std::atomic<bool> flag{false};
        basalt::BKPThreadMutexLock lock;
    } shutdown_;
    struct {
        rx::DisposablePtr virtualChannelEvents;
        rx::DisposablePtr syncChannelNotifications;
    } subscriptions_;
};

}  // namespace velkor
