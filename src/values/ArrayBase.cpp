#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "values/ChildLinks.h"
#include "values/SerializerBase.h"
#include "velkor/VKArrayBase.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Array");

VKArrayBase::VKArrayBase(std::size_t minimumCapacity) : VKContainer(Kind::array) {
    innerItems_.reserve(minimumCapacity);
    log.trace("Created new array (capacity=%d, id=%@).", minimumCapacity, id());
}

VKArrayBase::~VKArrayBase() {
    detail::ContainerAccess::removeAllInternal(*this);
}

namespace detail {

ItemMutation ContainerAccess::setInternal(VKArrayBase& array, std::size_t index,
                                          VKObjectPtr value) {
    return ChildLinks::replace(array, array.innerItems_[index], std::move(value));
}

void ContainerAccess::removeAllInternal(VKArrayBase& array) {
    for (const auto& item : array.innerItems_) {
        ChildLinks::detach(array, item);
    }
    array.innerItems_.clear();
}

void ContainerAccess::serializeInnerItems(const VKArrayBase& array, SerializerBase& serializer) {
    for (const auto& item : array.innerItems_) {
        velkor::serialize(*item, serializer);
    }
}

}  // namespace detail
}  // namespace velkor
