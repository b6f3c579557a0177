#include "settings/ContentDiff.h"

#include <algorithm>
#include <unordered_map>

#include "internals/CanonicalText.h"
#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"

namespace velkor {

namespace {

bool isProxy(const VKObjectBase& value) {
    return value.kind() == VKObjectBase::Kind::containerProxy;
}

// A dictionary's entries by the canonical form of their keys, by which keys are compared.
using CanonicalItems = std::unordered_map<std::string, VKDictionary::Items::value_type>;

CanonicalItems byCanonicalKey(VKDictionary::Items items) {
    CanonicalItems out;
    out.reserve(items.size());
    for (auto& item : items) {
        auto canonical = isAsciiText(item.first) ? item.first : canonicalText(item.first);
        out.emplace(std::move(canonical), std::move(item));
    }
    return out;
}

bool sameItems(const VKDictionary& a, const VKDictionary& b) {
    auto itemsA = byCanonicalKey(a.items());
    auto itemsB = byCanonicalKey(b.items());
    if (itemsA.size() != itemsB.size())
        return false;
    return std::all_of(itemsA.begin(), itemsA.end(), [&](const auto& item) {
        auto other = itemsB.find(item.first);
        return other != itemsB.end() &&
               ContentDiff::sameContent(item.second.second, other->second.second);
    });
}

bool sameItems(const VKArray& a, const VKArray& b) {
    auto itemsA = a.items();
    auto itemsB = b.items();
    return std::equal(itemsA.begin(), itemsA.end(), itemsB.begin(), itemsB.end(),
                      &ContentDiff::sameContent);
}

}  // namespace

bool ContentDiff::sameContent(const VKObjectPtr& a, const VKObjectPtr& b) {
    if (!a || !b)
        return !a && !b;
    if (a == b)
        return true;
    if (isProxy(*a) || isProxy(*b)) {
        const auto* containerA = dynamic_cast<const VKContainerBase*>(a.get());
        const auto* containerB = dynamic_cast<const VKContainerBase*>(b.get());
        return containerA && containerB && containerA->id() == containerB->id() &&
               !(containerA->id() == UUID());
    }
    if (a->kind() != b->kind())
        return false;
    if (auto dictionary = asDictionary(a))
        return sameItems(*dictionary, *asDictionary(b));
    if (auto array = asArray(a))
        return sameItems(*array, *asArray(b));
    return *a == *b;
}

ContentDiff ContentDiff::between(const std::shared_ptr<VKDictionary>& before,
                                 const std::shared_ptr<VKDictionary>& after) {
    ContentDiff diff;
    const auto old = byCanonicalKey(before ? before->items() : VKDictionary::Items{});
    const auto now = byCanonicalKey(after ? after->items() : VKDictionary::Items{});
    for (const auto& [canonical, item] : now) {
        auto was = old.find(canonical);
        if (was == old.end())
            diff.added.push_back(item.first);
        else if (!sameContent(was->second.second, item.second))
            diff.changed.push_back(item.first);
    }
    for (const auto& [canonical, item] : old) {
        if (!now.contains(canonical))
            diff.removed.push_back(item.first);
    }
    for (auto* keys : {&diff.added, &diff.removed, &diff.changed})
        std::sort(keys->begin(), keys->end());
    return diff;
}

}  // namespace velkor
