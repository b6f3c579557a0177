#include "values/client/ParentsOfContainer.h"

#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"
#include "velkor/VKError.h"

namespace velkor {

void ParentsOfContainer::ensureTheSameRoot(VKContainer& child, const VKContainer& parent) {
    const UUID childRoot = child.rootId();
    if (childRoot.isZero()) {
        // A container that belongs to no settings file yet joins the parent's.
        detail::ContainerAccess::setRootId(child, parent.rootId());
        return;
    }
    const UUID parentRoot = parent.rootId();
    if (parentRoot.isZero()) {
        return;
    }
    if (childRoot != parentRoot || !detail::ContainerAccess::sameConnection(child, parent)) {
        throw VKError(VKError::notTheSameRoot);
    }
}

}  // namespace velkor
