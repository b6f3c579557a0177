#include "connection/LookupMapOfContainers.h"

#include "internals/CanonicalText.h"

#include "velkor/VKContainer.h"

namespace velkor {

std::string LookupMapOfContainers::Map::fullPathKey(const std::string& domain, std::uint32_t user,
                                                    const std::string& path) {
    std::string key = std::to_string(user);
    key.reserve(key.size() + domain.size() + path.size() + 2);
    key += '@';
    key += domain;
    key += ':';
    // Path parts are keys, which are compared by their canonical form.
    key += isAsciiText(path) ? path : canonicalText(path);
    return key;
}

void LookupMapOfContainers::Map::registerContainer(const std::shared_ptr<VKContainer>& container,
                                                   const std::string& domain, std::uint32_t user,
                                                   const std::string& path) {
    auto key = fullPathKey(domain, user, path);
    mapOfPathToContainer_[key] = Entry{WeakRef<VKContainer>{container}, container->id()};
    mapOfContainerIdToPath_[container->id()] = std::move(key);
}

std::shared_ptr<VKContainer> LookupMapOfContainers::Map::tryToFindContainerBy(
    const std::string& domain, std::uint32_t user, const std::string& path) {
    auto it = mapOfPathToContainer_.find(fullPathKey(domain, user, path));
    if (it == mapOfPathToContainer_.end())
        return nullptr;
    auto container = it->second.container.get();
    if (!container) {
        mapOfPathToContainer_.erase(it);
        return nullptr;
    }
    // A container the daemon no longer has (its file or itself was deleted, or it was
    // abandoned) is detached: handing it out would let writes stay local while reported as
    // done, so the entry goes and the next opening asks the daemon.
    if (!container->onServer()) {
        mapOfContainerIdToPath_.erase(it->second.id);
        mapOfPathToContainer_.erase(it);
        retired_.push_back(std::move(container));
        return nullptr;
    }
    return container;  // handed to the caller, who releases it after the lock
}

void LookupMapOfContainers::Map::unregister(const UUID& id) {
    auto it = mapOfContainerIdToPath_.find(id);
    if (it == mapOfContainerIdToPath_.end())
        return;
    mapOfPathToContainer_.erase(it->second);
    mapOfContainerIdToPath_.erase(it);
}

void LookupMapOfContainers::Map::forget(const UUID& id) {
    auto it = mapOfContainerIdToPath_.find(id);
    if (it == mapOfContainerIdToPath_.end())
        return;
    auto path = mapOfPathToContainer_.find(it->second);
    if (path != mapOfPathToContainer_.end()) {
        if (!path->second.container.ref.expired()) {
            return;  // a live object took the id since: its entries stay
        }
        mapOfPathToContainer_.erase(path);
    }
    mapOfContainerIdToPath_.erase(it);
}

void LookupMapOfContainers::forgetDestroyed(const UUID& id) {
    if (owner_.load(std::memory_order_acquire) == std::this_thread::get_id()) {
        map_.forget(id);  // this thread holds the lock: an opening discarding a decoded tree
        return;
    }
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) {
        OwnerMark mark(owner_);
        applyPendingForgets();
        map_.forget(id);
        return;
    }
    std::lock_guard pending(pendingMutex_);
    pendingForgets_.push_back(id);
}

void LookupMapOfContainers::applyPendingForgets() {
    std::vector<UUID> ids;
    {
        std::lock_guard pending(pendingMutex_);
        ids.swap(pendingForgets_);
    }
    for (const auto& id : ids) {
        map_.forget(id);
    }
}

void LookupMapOfContainers::Map::unregister(const std::string& domain, std::uint32_t user,
                                            const std::string& path) {
    auto it = mapOfPathToContainer_.find(fullPathKey(domain, user, path));
    if (it == mapOfPathToContainer_.end())
        return;
    bool alive = !it->second.container.ref.expired();
    UUID id = it->second.id;
    mapOfPathToContainer_.erase(it);
    if (alive) {
        mapOfContainerIdToPath_.erase(id);
    }
}

}  // namespace velkor
