#include "values/SerializerBase.h"

#include "velkor/VKContainer.h"

namespace velkor {

bool SerializerBase::rememberContainer(const std::shared_ptr<VKContainer>& container) {
    auto [it, inserted] = rememberedContainers_.insert_or_assign(container->id(), container);
    (void)it;
    return !inserted;
}

}  // namespace velkor
