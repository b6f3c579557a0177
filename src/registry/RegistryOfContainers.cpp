#include "registry/RegistryOfContainers.h"

#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "velkor/VKContainer.h"

namespace velkor {

using Access = detail::ContainerAccess;

RegistryOfContainers::RegistryOfContainers()
    : lock_("RegistryOfContainers_" + UUID::random().description()) {}

RegistryOfContainers::~RegistryOfContainers() {
    shutdown();
}

void RegistryOfContainers::setConnection(const std::weak_ptr<InnerConnection>& connection) {
    lock_.sync([&] {
        connection_ = connection;
        connectionIdentity_ = connection.lock().get();
    });
}

InnerConnection* RegistryOfContainers::liveConnectionIdentity() const {
    return connection_.expired() ? nullptr : connectionIdentity_;
}

namespace {

// Whether `entry` refers to `object`, compared by ownership so that no strong reference is taken.
bool refersTo(const std::weak_ptr<VKContainer>& entry,
              const std::weak_ptr<const VKContainerBase>& object) {
    return !entry.owner_before(object) && !object.owner_before(entry);
}

}  // namespace

void RegistryOfContainers::registerContainer(const std::shared_ptr<VKContainer>& container) {
    // The connection, and any connection the container leaves, are released after the lock.
    std::shared_ptr<InnerConnection> connection;
    std::shared_ptr<InnerConnection> previous;
    lock_.sync([&] {
        connection = connection_.lock();
        idsToContainers_[container->id()] = WeakRef<VKContainer>{container};
        previous = Access::exchangeInnerConnection(*container, connection);
    });
}

bool RegistryOfContainers::registerContainers(
    const std::unordered_map<UUID, std::shared_ptr<VKContainer>>& containers,
    const VKContainer* holder) {
    std::shared_ptr<InnerConnection> connection;
    std::vector<std::shared_ptr<InnerConnection>> previous;
    return lock_.sync([&] {
        if (holder) {
            auto it = idsToContainers_.find(holder->id());
            if (it == idsToContainers_.end() ||
                !refersTo(it->second.ref, holder->weak_from_this())) {
                return false;
            }
        }
        connection = connection_.lock();
        for (const auto& [id, container] : containers) {
            idsToContainers_[id] = WeakRef<VKContainer>{container};
            previous.push_back(Access::exchangeInnerConnection(*container, connection));
        }
        return true;
    });
}

std::shared_ptr<VKContainer> RegistryOfContainers::findOrRegister(
    const std::shared_ptr<VKContainer>& container, bool overProxy, std::int64_t* missed) {
    // Released after the lock: any of them may be the last reference.
    std::shared_ptr<InnerConnection> connection;
    std::shared_ptr<InnerConnection> previous;
    std::shared_ptr<VKContainer> live;
    return lock_.sync([&]() -> std::shared_ptr<VKContainer> {
        auto& entry = idsToContainers_[container->id()];
        live = entry.get();
        if (live && !(overProxy && live->kind() == VKObjectBase::Kind::containerProxy)) {
            return live;
        }
        connection = connection_.lock();
        entry = WeakRef<VKContainer>{container};
        previous = Access::exchangeInnerConnection(*container, connection);
        if (missed) {
            // The entry stays: a later registration of the id comes from a later answer, whose
            // revision is at least the one missed.
            auto it = missed_.find(container->id());
            *missed = it == missed_.end() ? 0 : it->second;
        }
        return container;
    });
}

std::shared_ptr<VKContainer> RegistryOfContainers::findForReport(const UUID& id,
                                                                 std::int64_t revision) {
    return lock_.sync([&]() -> std::shared_ptr<VKContainer> {
        if (auto it = idsToContainers_.find(id); it != idsToContainers_.end()) {
            if (auto live = it->second.get()) {
                return live;
            }
        }
        auto [it, added] = missed_.try_emplace(id, revision);
        if (!added) {
            it->second = std::max(it->second, revision);
            return nullptr;
        }
        missedOrder_.push_back(id);
        if (missedOrder_.size() > kMissedKept) {
            missed_.erase(missedOrder_.front());
            missedOrder_.pop_front();
        }
        return nullptr;
    });
}

std::shared_ptr<VKContainer> RegistryOfContainers::tryFind(const UUID& id) {
    return lock_.sync([&]() -> std::shared_ptr<VKContainer> {
        auto it = idsToContainers_.find(id);
        return it == idsToContainers_.end() ? nullptr : it->second.get();
    });
}

void RegistryOfContainers::unregister(const UUID& id) {
    // Released after the lock: either may be the last reference.
    std::shared_ptr<VKContainer> container;
    std::shared_ptr<InnerConnection> detached;
    lock_.sync([&] {
        auto it = idsToContainers_.find(id);
        if (it == idsToContainers_.end())
            return;
        container = it->second.get();
        idsToContainers_.erase(it);
        if (auto* connection = liveConnectionIdentity(); container && connection) {
            detached = Access::clearInnerConnectionIf(*container, connection);
        }
    });
}

bool RegistryOfContainers::unregisterIfSame(const UUID& id,
                                            const std::weak_ptr<const VKContainerBase>& container) {
    // Released after the lock: either may be the last reference.
    std::shared_ptr<VKContainer> live;
    std::shared_ptr<InnerConnection> detached;
    return lock_.sync([&] {
        auto it = idsToContainers_.find(id);
        if (it == idsToContainers_.end())
            return false;
        if (!refersTo(it->second.ref, container))
            return false;
        live = it->second.ref.lock();
        idsToContainers_.erase(it);
        if (auto* connection = liveConnectionIdentity(); live && connection) {
            detached = Access::clearInnerConnectionIf(*live, connection);
        }
        return true;
    });
}

std::vector<std::shared_ptr<VKContainer>> RegistryOfContainers::unregisterHavingRootId(
    const UUID& rootId) {
    std::vector<std::shared_ptr<VKContainer>> removed;
    // Every container looked at is held until the lock is released: one whose last other
    // reference goes meanwhile would otherwise run its destructor, which unregisters itself
    // through this very lock, inside it.
    std::vector<std::shared_ptr<VKContainer>> seen;
    InnerConnection* connection = nullptr;
    lock_.sync([&] {
        connection = liveConnectionIdentity();
        seen.reserve(idsToContainers_.size());
        for (auto it = idsToContainers_.begin(); it != idsToContainers_.end();) {
            auto container = it->second.get();
            if (container && container->rootId() == rootId) {
                removed.push_back(std::move(container));
                it = idsToContainers_.erase(it);
            } else {
                if (container) {
                    seen.push_back(std::move(container));
                }
                ++it;
            }
        }
    });
    // Detaching happens outside the lock. Only the connection's identity is compared: holding
    // it strongly here could run its destructor, and with it this registry's, inside this call.
    if (connection != nullptr) {
        for (const auto& container : removed) {
            Access::clearInnerConnectionIf(*container, connection);
        }
    }
    return removed;
}

void RegistryOfContainers::shutdown() {
    // Containers released here may run their destructors, which call back into unregister():
    // they are dropped after the lock is released.
    std::unordered_map<UUID, WeakRef<VKContainer>> old;
    lock_.sync([&] { old.swap(idsToContainers_); });
}

}  // namespace velkor
