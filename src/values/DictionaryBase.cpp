#include "basalt/QZLogger.h"
#include "internals/CanonicalText.h"
#include "internals/ContainerAccess.h"
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
    detail::ContainerAccess::removeAllInternal(*this);
}

namespace {

using Variants = std::unordered_map<std::string, std::string>;

void emplaceItem(VKDictionaryBase::Items& items, std::unique_ptr<Variants>& variants,
                 std::string key, VKObjectPtr value) {
    if (!isAsciiText(key)) {
        if (auto canonical = canonicalText(key); canonical != key) {
            if (!variants) {
                variants = std::make_unique<Variants>();
            }
            variants->insert_or_assign(std::move(canonical), key);
        }
    }
    items.emplace(std::move(key), std::move(value));
}

void forgetVariant(std::unique_ptr<Variants>& variants, const std::string& key) {
    if (variants && !isAsciiText(key)) {
        variants->erase(canonicalText(key));
        if (variants->empty()) {
            variants.reset();
        }
    }
}

}  // namespace

namespace detail {

VKDictionaryBase::Items::iterator ContainerAccess::findItem(VKDictionaryBase& dictionary,
                                                            const std::string& key) {
    auto& items = dictionary.innerItems_;
    auto& variants = dictionary.variants_;
    auto found = items.find(key);
    // An ASCII key is canonical, and only a stored key that is not canonical could be
    // equivalent to it without being equal: none is when there are no variants.
    if (found != items.end() || (!variants && isAsciiText(key))) {
        return found;
    }
    const std::string canonical = canonicalText(key);
    if (variants) {
        if (auto variant = variants->find(canonical); variant != variants->end()) {
            return items.find(variant->second);
        }
    }
    return canonical == key ? items.end() : items.find(canonical);
}

ItemMutation ContainerAccess::setInternal(VKDictionaryBase& dictionary, const std::string& key,
                                          VKObjectPtr value) {
    auto found = findItem(dictionary, key);
    if (found == dictionary.innerItems_.end()) {
        ChildLinks::attach(dictionary, value, true);
        emplaceItem(dictionary.innerItems_, dictionary.variants_, key, std::move(value));
        return {true, nullptr};
    }
    return ChildLinks::replace(dictionary, found->second, std::move(value));
}

ItemMutation ContainerAccess::removeInternal(VKDictionaryBase& dictionary, const std::string& key) {
    auto found = findItem(dictionary, key);
    if (found == dictionary.innerItems_.end()) {
        return {false, nullptr};
    }
    VKObjectPtr removed = std::move(found->second);
    forgetVariant(dictionary.variants_, found->first);
    dictionary.innerItems_.erase(found);
    ChildLinks::detach(dictionary, removed);
    return {true, std::move(removed)};
}

void ContainerAccess::removeAllInternal(VKDictionaryBase& dictionary) {
    for (const auto& [key, value] : dictionary.innerItems_) {
        ChildLinks::detach(dictionary, value);
    }
    dictionary.innerItems_.clear();
    dictionary.variants_.reset();
}

void ContainerAccess::putDecoded(VKDictionaryBase& dictionary, std::string key, VKObjectPtr value) {
    ChildLinks::attach(dictionary, value, false);
    auto found = findItem(dictionary, key);
    if (found == dictionary.innerItems_.end()) {
        emplaceItem(dictionary.innerItems_, dictionary.variants_, std::move(key), std::move(value));
        return;
    }
    ChildLinks::detach(dictionary, found->second);
    found->second = std::move(value);
}

void ContainerAccess::moveItemsFrom(VKDictionaryBase& dictionary, VKDictionaryBase& other) {
    dictionary.innerItems_ = std::move(other.innerItems_);
    dictionary.variants_ = std::move(other.variants_);
    other.innerItems_.clear();
}

void ContainerAccess::serializeInnerItems(const VKDictionaryBase& dictionary,
                                          SerializerBase& serializer) {
    for (const auto& [key, value] : dictionary.innerItems_) {
        serializer.encodeText(key);
        velkor::serialize(*value, serializer);
    }
}

}  // namespace detail
}  // namespace velkor
