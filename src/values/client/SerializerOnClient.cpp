#include "values/client/SerializerOnClient.h"

#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "velkor/VKContainer.h"

namespace velkor {

void SerializerOnClient::registerContainers(const UUID& rootId, InnerConnection& connection,
                                            const VKContainer* holder) {
    const auto& containers = rememberedContainers();
    if (containers.empty()) {
        return;
    }
    for (const auto& [id, container] : containers) {
        detail::ContainerAccess::setRootId(*container, rootId);
    }
    // One registry call for the whole tree: it also attaches every container to the connection.
    if (!connection.registryOfContainers().registerContainers(containers, holder)) {
        // The holder left the file meanwhile: the containers stay local with it, of no file.
        for (const auto& [id, container] : containers) {
            detail::ContainerAccess::setRootId(*container, UUID::zero());
        }
    }
}

}  // namespace velkor
