#include "values/client/ContainerProxy.h"

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "values/client/DeserializerOnClient.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.ContainerProxy");

ContainerProxy::~ContainerProxy() {
    log.trace("Destructing proxy (id=%@)...", id());
    if (auto connection = Access::innerConnection(*this)) {
        connection->unregisterContainer(id(), weak_from_this());
    }
}

VKObjectPtr ContainerProxy::deserialize(DeserializerOnClient& decoder) {
    auto id = decoder.decodeUuid();
    if (!id) {
        log.error("Can't decode id of a container proxy.");
        return nullptr;
    }
    auto& registry = decoder.connection()->registryOfContainers();
    auto known = registry.tryFind(*id);
    if (!known) {
        if (!decoder.mayPlace(*id)) {
            return nullptr;
        }
        auto proxy = std::make_shared<ContainerProxy>(Private{});
        Access::setId(*proxy, *id);
        // Of the file of the containers around it, so that deleting that file detaches it.
        Access::setRootId(*proxy, decoder.rootId());
        // Another decoder may have met the id meanwhile: its object is the one.
        known = registry.findOrRegister(proxy, false);
        if (known == proxy) {
            return proxy;
        }
    }
    if (auto* proxy = dynamic_cast<ContainerProxy*>(known.get())) {
        if (auto real = proxy->realContainer()) {
            known = std::move(real);
        }
    }
    return decoder.mayPlace(*id, known) ? known : nullptr;
}

std::shared_ptr<VKContainer> ContainerProxy::obtainRealContainer(const KnownIds& known) {
    std::shared_ptr<VKContainer> real;
    {
        std::lock_guard lock(resolving_);
        real = realContainer();
        if (!real) {
            auto connection = Access::innerConnection(*this);
            if (!connection) {
                log.error("Can't obtainer real container (id=%@) - connection lost.", id());
                throw VKError(VKError::connectionLost);
            }
            // The container may have come in full since (a fetch with everything below it):
            // that one is live and receives the daemon's changes, so it is the real one.
            real = connection->registryOfContainers().tryFind(id());
            if (!real || dynamic_cast<ContainerProxy*>(real.get()) != nullptr) {
                real = connection->resolveContainerProxy(id(), known != nullptr);
                // Only a real container of this very id can take the proxy's place: anything
                // else would put a stranger, or the proxy itself, into the tree.
                if (!real || real->id() != id() ||
                    dynamic_cast<ContainerProxy*>(real.get()) != nullptr) {
                    log.error("Can't obtainer real container (id=%@) - the daemon sent another.",
                              id());
                    throw VKError(VKError::serverError);
                }
                setRealContainer(real);
                return real;
            }
            setRealContainer(real);
        }
    }
    if (known) {
        Access::prefetchContentInternal(*real, known);
    }
    return real;
}

std::string ContainerProxy::description() const {
    return withReadItemsLock([&] { return "prx(id=" + id().description() + ")"; });
}

}  // namespace velkor
