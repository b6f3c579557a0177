#include "values/ContainerProxyBase.h"

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "values/client/ParentsOfContainer.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.ContainerProxy");

ContainerProxyBase::ContainerProxyBase() : VKContainer(Kind::containerProxy) {
    log.trace("Created new local proxy.");
}

void ContainerProxyBase::setRealContainer(const std::shared_ptr<VKContainer>& real) {
    std::weak_ptr<VKContainer> self = Access::sharedContainer(*this);
    ParentsOfContainerBase::lock().sync([&] { Access::parents(*real).setProxy(self); });
    realContainer_.store(real);
}

ContainerProxyBase::~ContainerProxyBase() {
    // Held until the parents lock is left: it may be the last reference to the real container.
    auto real = realContainer_.load();
    realContainer_.store(nullptr);
    if (real) {
        auto self = weak_from_this();
        ParentsOfContainerBase::lock().sync([&] { Access::parents(*real).clearProxyIf(self); });
    }
}

}  // namespace velkor
