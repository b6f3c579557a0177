#include "values/ContainerProxyBase.h"

#include "basalt/QZLogger.h"
#include "values/client/ParentsOfContainer.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.ContainerProxy");

ContainerProxyBase::ContainerProxyBase() : VKContainer(Kind::containerProxy) {
    log.trace("Created new local proxy.");
}

void ContainerProxyBase::setRealContainer(const std::shared_ptr<VKContainer>& real) {
    std::weak_ptr<VKContainer> self = sharedContainer();
    ParentsOfContainerBase::lock().sync([&] { real->parents().setProxy(self); });
    realContainer_.store(real);
}

ContainerProxyBase::~ContainerProxyBase() {
    // Held until the parents lock is left: it may be the last reference to the real container.
    auto real = realContainer_.load();
    realContainer_.store(nullptr);
    if (real) {
        auto self = weak_from_this();
        ParentsOfContainerBase::lock().sync([&] { real->parents().clearProxyIf(self); });
    }
}

}  // namespace velkor
