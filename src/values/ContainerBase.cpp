#include "basalt/QZLogger.h"
#include "values/client/ParentsOfContainer.h"
#include "velkor/VKContainerBase.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Container");

VKContainerBase::VKContainerBase(Kind kind)
    : VKObjectBase(kind), id_(UUID::random()), parents_(std::make_unique<ParentsOfContainer>()) {}

VKContainerBase::~VKContainerBase() {
    log.trace("Container deinitialized (id=%@).", id_);
}

bool VKContainerBase::equal(const VKObjectBase& other) const {
    // A container without an id is equal only to itself, which operator== settles before.
    if (id_.isZero()) {
        return false;
    }
    auto* container = dynamic_cast<const VKContainerBase*>(&other);
    return container != nullptr && container->id_ == id_;
}

}  // namespace velkor
