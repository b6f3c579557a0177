#include "values/ChildLinks.h"

#include "values/ContainerProxyBase.h"

namespace velkor {

void ChildLinks::attach(VKContainer& parent, const VKObjectPtr& value, bool withChecks) {
    if (auto child = VKContainer::asClientContainer(value)) {
        child->addParent(parent.sharedContainer(), withChecks);
    }
}

void ChildLinks::detach(const VKContainer& parent, const VKObjectPtr& value) {
    if (auto child = VKContainer::asClientContainer(value)) {
        child->removeParent(parent);
    }
}

VKContainer::ItemMutation ChildLinks::replace(VKContainer& parent, VKObjectPtr& slot,
                                              VKObjectPtr value) {
    if (slot == value) {
        return {false, slot};
    }
    auto newContainer = VKContainer::asClientContainer(value);
    auto* proxy = slot->kind() == VKObjectBase::Kind::containerProxy
                      ? dynamic_cast<ContainerProxyBase*>(slot.get())
                      : nullptr;
    if (proxy != nullptr && newContainer) {
        if (proxy->realContainer() == newContainer) {
            // The proxy gives way to the container it was resolved into: the same value, so the
            // place moves to it unchecked and no change is reported.
            newContainer->addParent(parent.sharedContainer(), false);
            proxy->removeParent(parent);
            return {false, std::exchange(slot, std::move(value))};
        }
        // Any other container replaces a proxy even when it has the proxy's id.
    } else if (*slot == *value) {
        return {false, slot};
    }
    if (newContainer) {
        newContainer->addParent(parent.sharedContainer(), true);
    }
    detach(parent, slot);
    return {true, std::exchange(slot, std::move(value))};
}

}  // namespace velkor
