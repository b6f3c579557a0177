#include "basalt/QZLogger.h"
#include "internals/CanonicalText.h"
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

VKDictionaryBase::Items::iterator VKDictionaryBase::findItem(const std::string& key) {
    auto found = innerItems_.find(key);
    // An ASCII key is canonical, and only a stored key that is not canonical could be
    // equivalent to it without being equal: none is when there are no variants.
    if (found != innerItems_.end() || (!variants_ && isAsciiText(key))) {
        return found;
    }
    const std::string canonical = canonicalText(key);
    if (variants_) {
        if (auto variant = variants_->find(canonical); variant != variants_->end()) {
            return innerItems_.find(variant->second);
        }
    }
    return canonical == key ? innerItems_.end() : innerItems_.find(canonical);
}

VKDictionaryBase::Items::const_iterator VKDictionaryBase::findItem(const std::string& key) const {
    return const_cast<VKDictionaryBase*>(this)->findItem(key);
}

void VKDictionaryBase::emplaceItem(std::string key, VKObjectPtr value) {
    if (!isAsciiText(key)) {
        if (auto canonical = canonicalText(key); canonical != key) {
            if (!variants_) {
                variants_ = std::make_unique<Variants>();
            }
            variants_->insert_or_assign(std::move(canonical), key);
        }
    }
    innerItems_.emplace(std::move(key), std::move(value));
}

void VKDictionaryBase::forgetVariant(const std::string& key) {
    if (variants_ && !isAsciiText(key)) {
        variants_->erase(canonicalText(key));
        if (variants_->empty()) {
            variants_.reset();
        }
    }
}

VKContainer::ItemMutation VKDictionaryBase::setInternal(const std::string& key, VKObjectPtr value) {
    auto found = findItem(key);
    if (found == innerItems_.end()) {
        ChildLinks::attach(*this, value, true);
        emplaceItem(key, std::move(value));
        return {true, nullptr};
    }
    return ChildLinks::replace(*this, found->second, std::move(value));
}

VKContainer::ItemMutation VKDictionaryBase::removeInternal(const std::string& key) {
    auto found = findItem(key);
    if (found == innerItems_.end()) {
        return {false, nullptr};
    }
    VKObjectPtr removed = std::move(found->second);
    forgetVariant(found->first);
    innerItems_.erase(found);
    ChildLinks::detach(*this, removed);
    return {true, std::move(removed)};
}

void VKDictionaryBase::removeAllInternal() {
    for (const auto& [key, value] : innerItems_) {
        ChildLinks::detach(*this, value);
    }
    innerItems_.clear();
    variants_.reset();
}

void VKDictionaryBase::putDecoded(std::string key, VKObjectPtr value) {
    ChildLinks::attach(*this, value, false);
    auto found = findItem(key);
    if (found == innerItems_.end()) {
        emplaceItem(std::move(key), std::move(value));
        return;
    }
    ChildLinks::detach(*this, found->second);
    found->second = std::move(value);
}

void VKDictionaryBase::moveItemsFrom(VKDictionaryBase& other) {
    innerItems_ = std::move(other.innerItems_);
    variants_ = std::move(other.variants_);
    other.innerItems_.clear();
}

void VKDictionaryBase::serializeInnerItems(SerializerBase& serializer) const {
    serializer.encodeInteger(static_cast<std::int64_t>(innerItems_.size()));
    for (const auto& [key, value] : innerItems_) {
        serializer.encodeText(key);
        value->serialize(serializer);
    }
}

}  // namespace velkor
