#include "values/ParentsOfContainerBase.h"

#include <algorithm>

#include "internals/ContainerAccess.h"
#include "utils/KnownThings.h"
#include "values/client/ParentsOfContainer.h"
#include "velkor/VKContainer.h"
#include "velkor/VKError.h"

namespace velkor {

dispatch::SerialQueue& ParentsOfContainerBase::lock() {
    // Never destroyed: containers that outlive static destruction may still detach children.
    static auto* queue = new dispatch::SerialQueue("ParentsOfContainer");
    return *queue;
}

void ParentsOfContainerBase::addParent(const std::shared_ptr<VKContainer>& parent,
                                       VKContainer& child, bool withChecks, Retained& retained) {
    if (withChecks) {
        ensureTheSameRoot(child, *parent);
        if (parent.get() == &child) {
            throw VKError(VKError::circularReferences);
        }
        throwIfContainerIsOurAncestor(*parent, child, retained);
    }
    const UUID& id = parent->id();
    auto found =
        std::find_if(parents_.begin(), parents_.end(), [&](const Entry& e) { return e.id == id; });
    if (found == parents_.end()) {
        parents_.push_back(Entry{id, WeakRef<VKContainer>{parent}, 1});
    } else {
        found->parent.ref = parent;
        ++found->placements;
    }
}

std::size_t ParentsOfContainerBase::removeParent(const UUID& id) {
    auto found =
        std::find_if(parents_.begin(), parents_.end(), [&](const Entry& e) { return e.id == id; });
    if (found != parents_.end() && --found->placements == 0) {
        parents_.erase(found);
    }
    return parents_.size();
}

std::unordered_map<UUID, std::shared_ptr<VKContainer>> ParentsOfContainerBase::getAllParents(
    Retained& retained) const {
    std::unordered_map<UUID, std::shared_ptr<VKContainer>> result;
    auto collect = [&](const std::vector<Entry>& entries) {
        for (const auto& entry : entries) {
            if (auto parent = entry.parent.get()) {
                retained.push_back(parent);
                result.insert_or_assign(entry.id, std::move(parent));
            }
        }
    };
    collect(parents_);
    if (auto proxy = proxy_.lock()) {
        const ParentsOfContainerBase& proxyParents = detail::ContainerAccess::parents(*proxy);
        collect(proxyParents.parents_);
        retained.push_back(std::move(proxy));
    }
    return result;
}

bool ParentsOfContainerBase::clearProxyIf(const std::weak_ptr<const VKContainerBase>& proxy) {
    bool same = !proxy_.owner_before(proxy) && !proxy.owner_before(proxy_);
    if (same) {
        proxy_.reset();
    }
    return same;
}

bool ParentsOfContainerBase::isAncestor(const VKContainer& candidate, VKContainer& container) {
    Retained retained;  // released after the lock
    return lock().sync([&] {
        try {
            throwIfContainerIsOurAncestor(container, candidate, retained);
            return false;
        } catch (const VKError&) {
            return true;
        }
    });
}

void ParentsOfContainerBase::throwIfContainerIsOurAncestor(VKContainer& start,
                                                           const VKContainer& target,
                                                           Retained& retained) {
    KnownThings<UUID> known;
    known.insert(start.id());
    std::vector<VKContainer*> pending{&start};
    while (!pending.empty()) {
        VKContainer* x = pending.back();
        pending.pop_back();
        const ParentsOfContainerBase& set = detail::ContainerAccess::parents(*x);
        for (const auto& entry : set.parents_) {
            auto parent = entry.parent.get();
            if (!parent) {
                continue;
            }
            VKContainer* p = parent.get();
            retained.push_back(std::move(parent));
            if (p == &target) {
                throw VKError(VKError::circularReferences);
            }
            if (known.insert(p->id())) {
                pending.push_back(p);
            }
        }
        // The ancestors of a resolved proxy are the ancestors of the container it became. The
        // proxy shares that container's id, so it is walked whether or not the id is known.
        if (auto proxy = set.proxy_.lock()) {
            pending.push_back(proxy.get());
            retained.push_back(std::move(proxy));
        }
    }
}

}  // namespace velkor
