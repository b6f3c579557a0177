#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

#include "internals/ChangeNotification.h"
#include "internals/ChangeType.h"
#include "velkor/UUID.h"
#include "velkor/VKConnection.h"

namespace velkor {

class RegistryOfContainers;
class VKContainerBase;

/// What client containers, the decoder and the registry use to reach their connection.
class InnerConnection : public VKConnection {
  public:
    /// The connection's registry of live containers.
    virtual RegistryOfContainers& registryOfContainers() = 0;

    /// Forgets one container (registry and lookup map).
    virtual void unregisterContainer(const UUID& id) = 0;
    /// Forgets `container`, registered under `id`, only while it is the one registered there;
    /// another object that took the id since keeps its entries. Called from destructors: it
    /// never waits for the lookup map's lock.
    virtual void unregisterContainer(const UUID& id,
                                     const std::weak_ptr<const VKContainerBase>& container) = 0;

    /// Sends one change to the daemon and returns its verdict and the container's new revision.
    virtual std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr& change) = 0;

    /// Fetches a container that so far is only a proxy.
    virtual std::shared_ptr<VKContainer> resolveContainerProxy(const UUID& containerId,
                                                               bool recursiveFetch) = 0;

    /// Tells the daemon whether a container's change stream has observers.
    virtual void setHasSubscription(const UUID& containerId, bool hasSubscription) = 0;

    /// Runs `action` later on the connection's scheduler, in the order of the calls.
    virtual void schedule(std::function<void()> action) = 0;
    /// Runs `action` later on the thread that handles the daemon's pushes, after the pushes
    /// received so far (and `delay` from now): requests the library makes on its own account
    /// (fetching a container anew), which must not hold up the caller whose operation called
    /// for them. Dropped once the connection is disposed.
    virtual void scheduleAfterPushes(std::function<void()> action,
                                     std::chrono::milliseconds delay) = 0;

    /// How long one request waits for the daemon's answer: what one operation of a container
    /// may block its caller in all (see OperationDeadline).
    virtual std::chrono::nanoseconds requestTimeout() const = 0;
};

using InnerConnectionPtr = std::shared_ptr<InnerConnection>;

}  // namespace velkor
