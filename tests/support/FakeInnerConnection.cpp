#include "FakeInnerConnection.h"

#include "velkor/VKContainer.h"

namespace velkor::test {

std::shared_ptr<FakeInnerConnection> FakeInnerConnection::make(rx::SchedulerPtr scheduler) {
    std::shared_ptr<FakeInnerConnection> connection(new FakeInnerConnection(std::move(scheduler)));
    connection->registry_.setConnection(connection);
    return connection;
}

std::vector<FakeInnerConnection::SubscriptionReport> FakeInnerConnection::subscriptionReports()
    const {
    std::lock_guard lock(mutex_);
    return subscriptionReports_;
}

std::vector<ChangeNotificationPtr> FakeInnerConnection::publishedChanges() const {
    std::lock_guard lock(mutex_);
    return publishedChanges_;
}

void FakeInnerConnection::interceptSubscriptionReports(std::function<void(bool)> hook) {
    std::lock_guard lock(mutex_);
    subscriptionHook_ = std::move(hook);
}

void FakeInnerConnection::answerChanges(ChangeResult result, std::int64_t newRevision) {
    std::lock_guard lock(mutex_);
    changeAnswer_ = {result, newRevision};
}

void FakeInnerConnection::failChanges(std::optional<VKError> error) {
    std::lock_guard lock(mutex_);
    changeError_ = error;
}

void FakeInnerConnection::unregisterContainer(const UUID& id) {
    registry_.unregister(id);
}

void FakeInnerConnection::unregisterContainer(
    const UUID& id, const std::weak_ptr<const VKContainerBase>& container) {
    registry_.unregisterIfSame(id, container);
}

std::pair<ChangeResult, std::int64_t> FakeInnerConnection::publishChangeNotification(
    const ChangeNotificationPtr& change) {
    Publisher publisher;
    {
        std::lock_guard lock(mutex_);
        publishedChanges_.push_back(change);
        if (changeError_) {
            throw *changeError_;
        }
        if (!publisher_) {
            return changeAnswer_;
        }
        publisher = publisher_;
    }
    return publisher(change);
}

void FakeInnerConnection::publishChangesWith(Publisher publisher) {
    std::lock_guard lock(mutex_);
    publisher_ = std::move(publisher);
}

std::vector<FakeInnerConnection::ResolveRequest> FakeInnerConnection::resolveRequests() const {
    std::lock_guard lock(mutex_);
    return resolveRequests_;
}

void FakeInnerConnection::resolveProxiesWith(Resolver resolver) {
    std::lock_guard lock(mutex_);
    resolver_ = std::move(resolver);
}

std::shared_ptr<VKContainer> FakeInnerConnection::resolveContainerProxy(const UUID& containerId,
                                                                        bool recursiveFetch) {
    Resolver resolver;
    {
        std::lock_guard lock(mutex_);
        resolveRequests_.push_back({containerId, recursiveFetch});
        resolver = resolver_;
    }
    if (!resolver) {
        throw VKError(VKError::containerNotFound);
    }
    return resolver(containerId, recursiveFetch);
}

void FakeInnerConnection::setHasSubscription(const UUID& containerId, bool hasSubscription) {
    std::function<void(bool)> hook;
    {
        std::lock_guard lock(mutex_);
        subscriptionReports_.push_back({containerId, hasSubscription});
        hook = subscriptionHook_;
    }
    if (hook) {
        hook(hasSubscription);
    }
}

void FakeInnerConnection::createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                         VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

VKConnection::OpenResult FakeInnerConnection::openOrCreateSettings(
    const std::shared_ptr<VKContainer>&, const std::string&, VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

VKObjectPtr FakeInnerConnection::getSetting(const std::string&, const std::string&, bool,
                                            VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

void FakeInnerConnection::deleteSettings(const std::string&, VKOwnership) {
    throw VKError(VKError::notImplementedYet);
}

void FakeInnerConnection::dispose() {
    {
        std::lock_guard lock(mutex_);
        if (disposed_) {
            return;
        }
        disposed_ = true;
    }
    connected_.onCompleted();
}

bool FakeInnerConnection::isDisposed() const {
    std::lock_guard lock(mutex_);
    return disposed_;
}

}  // namespace velkor::test
