#include "values/ChildLinks.h"

#include "internals/ContainerAccess.h"
#include "values/ContainerProxyBase.h"

namespace velkor {

using Access = detail::ContainerAccess;

void ChildLinks::attach(VKContainer& parent, const VKObjectPtr& value, bool withChecks) {
    if (auto child = Access::asClientContainer(value)) {
        Access::addParent(*child, Access::sharedContainer(parent), withChecks);
    }
}

void ChildLinks::detach(const VKContainer& parent, const VKObjectPtr& value) {
    if (auto child = Access::asClientContainer(value)) {
        Access::removeParent(*child, parent);
    }
}

ItemMutation ChildLinks::replace(VKContainer& parent, VKObjectPtr& slot, VKObjectPtr value) {
    if (slot == value) {
        return {false, slot};
    }
    auto newContainer = Access::asClientContainer(value);
    auto* proxy = slot->kind() == VKObjectBase::Kind::containerProxy
                      ? dynamic_cast<ContainerProxyBase*>(slot.get())
                      : nullptr;
    if (proxy != nullptr && newContainer) {
        if (proxy->realContainer() == newContainer) {
            // The proxy gives way to the container it was resolved into: the same value, so the
            // place moves to it unchecked and no change is reported.
            Access::addParent(*newContainer, Access::sharedContainer(parent), false);
            Access::removeParent(*proxy, parent);
            return {false, std::exchange(slot, std::move(value))};
        }
        // Any other container replaces a proxy even when it has the proxy's id.
    } else if (*slot == *value) {
        return {false, slot};
    }
    if (newContainer) {
        Access::addParent(*newContainer, Access::sharedContainer(parent), true);
    }
    detach(parent, slot);
    return {true, std::exchange(slot, std::move(value))};
}

}  // namespace velkor
