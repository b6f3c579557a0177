#include "basalt/QZLogger.h"
#include "values/ChildLinks.h"
#include "values/SerializerBase.h"
#include "velkor/VKDictionaryBase.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");

VKDictionaryBase::VKDictionaryBase(std::size_t minimumCapacity) : VKContainer(Kind::dictionary) {
    innerItems_.reserve(minimumCapacity);
    log.trace("Created new dictionary (capacity=%d, id=%@).", minimumCapacity, id());
}

VKDictionaryBase::~VKDictionaryBase() {
    removeAllInternal();
}

VKContainer::ItemMutation VKDictionaryBase::setInternal(const std::string& key, VKObjectPtr value) {
    auto found = innerItems_.find(key);
    if (found == innerItems_.end()) {
        ChildLinks::attach(*this, value, true);
        innerItems_.emplace(key, std::move(value));
        return {true, nullptr};
    }
    return ChildLinks::replace(*this, found->second, std::move(value));
}

VKContainer::ItemMutation VKDictionaryBase::removeInternal(const std::string& key) {
    auto found = innerItems_.find(key);
    if (found == innerItems_.end()) {
        return {false, nullptr};
    }
    VKObjectPtr removed = std::move(found->second);
    innerItems_.erase(found);
    ChildLinks::detach(*this, removed);
    return {true, std::move(removed)};
}

void VKDictionaryBase::removeAllInternal() {
    for (const auto& [key, value] : innerItems_) {
        ChildLinks::detach(*this, value);
    }
    innerItems_.clear();
}

void VKDictionaryBase::serializeInnerItems(SerializerBase& serializer) const {
    serializer.encodeInteger(static_cast<std::int64_t>(innerItems_.size()));
    for (const auto& [key, value] : innerItems_) {
        serializer.encodeText(key);
        value->serialize(serializer);
    }
}

}  // namespace velkor
