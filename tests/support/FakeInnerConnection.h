#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "dispatch/SerialActionQueue.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "velkor/VKError.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor::test {

/// A connection for container tests: it records what containers ask of it, answers with what the
/// test set up, and runs scheduled actions one at a time in order on the scheduler it was given.
/// Resolving proxies fails with containerNotFound unless the test gives a resolver, and the
/// settings operations of VKConnection throw notImplementedYet. Thread-safe.
class FakeInnerConnection final : public InnerConnection {
  public:
    struct SubscriptionReport {
        UUID containerId;
        bool hasSubscription;
        friend bool operator==(const SubscriptionReport&, const SubscriptionReport&) = default;
    };

    static std::shared_ptr<FakeInnerConnection> make(rx::SchedulerPtr scheduler);

    // What containers asked.
    std::vector<SubscriptionReport> subscriptionReports() const;
    std::vector<ChangeNotificationPtr> publishedChanges() const;
    struct ResolveRequest {
        UUID containerId;
        bool recursiveFetch;
        friend bool operator==(const ResolveRequest&, const ResolveRequest&) = default;
    };
    std::vector<ResolveRequest> resolveRequests() const;

    // How to answer.
    /// Runs `hook` on each subscription report once recorded, without the connection's lock:
    /// it may block, and what it throws is the report's failure.
    void interceptSubscriptionReports(std::function<void(bool hasSubscription)> hook);
    /// The verdict and revision that publishChangeNotification gives (done, 1 at first).
    void answerChanges(ChangeResult result, std::int64_t newRevision);
    /// While set, publishChangeNotification throws `error` (after recording the change).
    void failChanges(std::optional<VKError> error);
    /// While set, publishChangeNotification answers with what `publisher` gives (after recording
    /// the change), called without the connection's lock: a test may hold the answer back.
    using Publisher =
        std::function<std::pair<ChangeResult, std::int64_t>(const ChangeNotificationPtr&)>;
    void publishChangesWith(Publisher publisher);
    /// What resolveContainerProxy gives (or throws), after recording the request; called
    /// without the connection's lock, so it may use the connection.
    using Resolver =
        std::function<std::shared_ptr<VKContainer>(const UUID& containerId, bool recursiveFetch)>;
    void resolveProxiesWith(Resolver resolver);

    // InnerConnection
    RegistryOfContainers& registryOfContainers() override { return registry_; }
    void unregisterContainer(const UUID& id) override;
    void unregisterContainer(const UUID& id,
                             const std::weak_ptr<const VKContainerBase>& container) override;
    std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr& change) override;
    std::shared_ptr<VKContainer> resolveContainerProxy(const UUID& containerId,
                                                       bool recursiveFetch) override;
    void setHasSubscription(const UUID& containerId, bool hasSubscription) override;
    void schedule(std::function<void()> action) override { events_->add(std::move(action)); }

    // VKConnection
    rx::Observable<rx::Unit> asObservable() override { return connected_.asObservable(); }
    void createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                        VKOwnership) override;
    OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                    VKOwnership) override;
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override;
    void deleteSettings(const std::string&, VKOwnership) override;
    void dispose() override;
    bool isDisposed() const override;

  private:
    explicit FakeInnerConnection(rx::SchedulerPtr scheduler)
        : events_(dispatch::SerialActionQueue::make(std::move(scheduler))) {}

    mutable std::mutex mutex_;
    std::vector<SubscriptionReport> subscriptionReports_;
    std::function<void(bool)> subscriptionHook_;
    std::vector<ChangeNotificationPtr> publishedChanges_;
    std::pair<ChangeResult, std::int64_t> changeAnswer_{ChangeResult::done, 1};
    std::optional<VKError> changeError_;
    std::vector<ResolveRequest> resolveRequests_;
    Resolver resolver_;
    Publisher publisher_;
    bool disposed_ = false;

    std::shared_ptr<dispatch::SerialActionQueue> events_;
    rx::PublishSubject<rx::Unit> connected_;
    RegistryOfContainers registry_;
};

}  // namespace velkor::test
