#include "connection/RegistryOfContainers.h"

#include "internals/InnerConnection.h"
#include "velkor/VKContainer.h"

namespace velkor {

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

void RegistryOfContainers::registerContainer(const std::shared_ptr<VKContainer>& container) {
    lock_.sync([&] {
        idsToContainers_[container->id()] = WeakRef<VKContainer>{container};
        container->setInnerConnection(connection_.lock());
    });
}

void RegistryOfContainers::registerContainers(
    const std::unordered_map<UUID, std::shared_ptr<VKContainer>>& containers) {
    lock_.sync([&] {
        auto connection = connection_.lock();
        for (const auto& [id, container] : containers) {
            idsToContainers_[id] = WeakRef<VKContainer>{container};
            container->setInnerConnection(connection);
        }
    });
}

std::shared_ptr<VKContainer> RegistryOfContainers::tryFind(const UUID& id) {
    return lock_.sync([&]() -> std::shared_ptr<VKContainer> {
        auto it = idsToContainers_.find(id);
        return it == idsToContainers_.end() ? nullptr : it->second.get();
    });
}

void RegistryOfContainers::unregister(const UUID& id) {
    std::shared_ptr<VKContainer> container;  // released after the lock: may run a destructor
    lock_.sync([&] {
        auto it = idsToContainers_.find(id);
        if (it == idsToContainers_.end())
            return;
        container = it->second.get();
        idsToContainers_.erase(it);
        if (auto* connection = liveConnectionIdentity(); container && connection) {
            container->clearInnerConnectionIf(connection);
        }
    });
}

bool RegistryOfContainers::unregisterIfSame(const UUID& id,
                                            const std::weak_ptr<const VKContainerBase>& container) {
    std::shared_ptr<VKContainer> live;  // released after the lock: may run a destructor
    return lock_.sync([&] {
        auto it = idsToContainers_.find(id);
        if (it == idsToContainers_.end())
            return false;
        const auto& entry = it->second.ref;
        if (entry.owner_before(container) || container.owner_before(entry))
            return false;
        live = entry.lock();
        idsToContainers_.erase(it);
        if (auto* connection = liveConnectionIdentity(); live && connection) {
            live->clearInnerConnectionIf(connection);
        }
        return true;
    });
}

std::vector<std::shared_ptr<VKContainer>> RegistryOfContainers::unregisterHavingRootId(
    const UUID& rootId) {
    std::vector<std::shared_ptr<VKContainer>> removed;
    InnerConnection* connection = nullptr;
    lock_.sync([&] {
        connection = liveConnectionIdentity();
        for (auto it = idsToContainers_.begin(); it != idsToContainers_.end();) {
            auto container = it->second.get();
            if (container && container->rootId() == rootId) {
                removed.push_back(std::move(container));
                it = idsToContainers_.erase(it);
            } else {
                ++it;
            }
        }
    });
    // Detaching happens outside the lock. Only the connection's identity is compared: holding
    // it strongly here could run its destructor, and with it this registry's, inside this call.
    if (connection != nullptr) {
        for (const auto& container : removed) {
            container->clearInnerConnectionIf(connection);
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
