#include "basalt/QZLogger.h"
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
    removeAllInternal();
}

VKContainer::ItemMutation VKArrayBase::setInternal(std::size_t index, VKObjectPtr value) {
    return ChildLinks::replace(*this, innerItems_[index], std::move(value));
}

void VKArrayBase::removeAllInternal() {
    for (const auto& item : innerItems_) {
        ChildLinks::detach(*this, item);
    }
    innerItems_.clear();
}

void VKArrayBase::serializeInnerItems(SerializerBase& serializer) const {
    serializer.encodeInteger(static_cast<std::int64_t>(innerItems_.size()));
    for (const auto& item : innerItems_) {
        item->serialize(serializer);
    }
}

}  // namespace velkor
