#include "settings/ContentDiff.h"

#include <algorithm>

#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"

namespace velkor {

namespace {

bool isProxy(const VKObjectBase& value) {
    return value.kind() == VKObjectBase::Kind::containerProxy;
}

bool sameItems(const VKDictionary& a, const VKDictionary& b) {
    auto itemsA = a.items();
    auto itemsB = b.items();
    if (itemsA.size() != itemsB.size())
        return false;
    return std::all_of(itemsA.begin(), itemsA.end(), [&](const auto& item) {
        auto other = itemsB.find(item.first);
        return other != itemsB.end() && ContentDiff::sameContent(item.second, other->second);
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
    const auto old = before ? before->items() : VKDictionary::Items{};
    const auto now = after ? after->items() : VKDictionary::Items{};
    for (const auto& [key, value] : now) {
        auto was = old.find(key);
        if (was == old.end())
            diff.added.push_back(key);
        else if (!sameContent(was->second, value))
            diff.changed.push_back(key);
    }
    for (const auto& item : old) {
        if (!now.contains(item.first))
            diff.removed.push_back(item.first);
    }
    for (auto* keys : {&diff.added, &diff.removed, &diff.changed})
        std::sort(keys->begin(), keys->end());
    return diff;
}

}  // namespace velkor
