// The array's construction, decoding, reads and prefetching.
#include <algorithm>
#include <optional>

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "values/ChildLinks.h"
#include "values/client/ContainerProxy.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/OperationOnContainer.h"
#include "velkor/VKArray.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Array");

std::shared_ptr<VKArray> VKArray::make(std::size_t minimumCapacity) {
    return std::make_shared<VKArray>(Private{}, minimumCapacity);
}

VKArray::VKArray(Private, std::size_t minimumCapacity) : VKArrayBase(minimumCapacity) {
    Access::setHooks(*this, Access::arrayHooks);
}

VKArray::~VKArray() {
    log.trace("Destructing array (id=%@)...", id());
    if (auto connection = Access::innerConnection(*this)) {
        connection->unregisterContainer(id(), weak_from_this());
    }
}

std::shared_ptr<VKArray> Access::decodeArray(DeserializerOnClient& decoder) {
    auto header = decoder.decodeContainerHeader();
    if (!header) {
        log.error("Can't decode base properties of an array.");
        return nullptr;
    }
    // An item takes at least two bytes: its kind and its value.
    auto array = VKArray::make(decoder.boundedCapacity(header->count, 2));
    setId(*array, header->id);
    setRootId(*array, header->rootId);
    setRevision(*array, header->revision);
    // The array is not shared before it is registered, so its items are filled without its lock.
    auto& items = array->innerItems();
    for (std::int64_t i = 0; i < header->count; ++i) {
        auto item = decoder.decodeVKObject();
        if (!item) {
            log.error("Can't decode array item # %d.", i);
            return nullptr;
        }
        ChildLinks::attach(*array, item, false);
        items.push_back(std::move(item));
    }
    return std::static_pointer_cast<VKArray>(decoder.completeContainer(array));
}

std::size_t VKArray::count() const {
    return OperationOnContainer::read(*this, [&] { return innerItems().size(); });
}

std::vector<VKObjectPtr> VKArray::items() const {
    return OperationOnContainer::read(*this, [&] { return innerItems(); });
}

std::string VKArray::description() const {
    return withReadItemsLock([&] {
        return "arr(id=" + id().description() + ", count=" + std::to_string(innerItems().size()) +
               ")";
    });
}

bool VKArray::inRange(std::int64_t index) const {
    return index >= 0 && static_cast<std::uint64_t>(index) < innerItems().size();
}

VKObjectPtr VKArray::get(std::int64_t at) {
    VKObjectPtr item;
    auto look = [&] {
        if (!inRange(at)) {
            throw VKError(VKError::indexOutOfRange);
        }
        item = innerItems()[static_cast<std::size_t>(at)];
    };
    // A read that must wait for the lock (another thread's exchange holds it) and the request
    // for a proxy that may follow wait within one operation.
    std::optional<OperationOnContainer> operation;
    if (!Access::itemsLock(*this).trySync(look)) {
        operation.emplace(*this);
        operation->withReadLock(look);
    }
    if (item->kind() != Kind::containerProxy) {
        return item;
    }
    // A proxy: resolved under the write lock, where the item is looked at again.
    if (!operation) {
        operation.emplace(*this);
    }
    operation->withWriteLock([&] {
        if (!inRange(at)) {
            throw VKError(VKError::indexOutOfRange);
        }
        const auto index = static_cast<std::size_t>(at);
        auto proxy = std::dynamic_pointer_cast<ContainerProxy>(innerItems()[index]);
        if (!proxy) {
            item = innerItems()[index];
            return;
        }
        item = proxy->obtainRealContainer(nullptr);
        Access::setInternal(*this, index, item);
    });
    return item;
}

std::vector<VKContainerChange> Access::takeArrayItems(VKArray& array, VKArray& source) {
    auto& mine = array.innerItems();
    auto& theirs = source.innerItems();
    std::vector<VKContainerChange> events;
    const std::size_t common = std::min(mine.size(), theirs.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (!equalValues(mine[i], theirs[i])) {
            events.emplace_back(
                VKContainerChange::DidArrayChildReplace{static_cast<std::int64_t>(i), mine[i]});
        }
    }
    for (std::size_t i = mine.size(); i-- > common;) {
        events.emplace_back(
            VKContainerChange::DidArrayChildRemove{static_cast<std::int64_t>(i), mine[i]});
    }
    for (std::size_t i = common; i < theirs.size(); ++i) {
        events.emplace_back(
            VKContainerChange::DidArrayChildAdd{static_cast<std::int64_t>(i), theirs[i]});
    }
    removeAllInternal(array);
    for (const auto& item : theirs) {
        ChildLinks::attach(array, item, false);
        ChildLinks::detach(source, item);
    }
    mine = std::move(theirs);
    theirs.clear();
    return events;
}

void Access::prefetchArrayItems(VKArray& array, const KnownIds& known) {
    auto& items = array.innerItems();
    const std::size_t count = items.size();
    for (std::size_t i = 0; i < count; ++i) {
        auto child = asClientContainer(items[i]);
        if (!child) {
            continue;
        }
        if (auto* proxy = dynamic_cast<ContainerProxy*>(child.get())) {
            setInternal(array, i, proxy->obtainRealContainer(known));
        } else if (known && child->onServer()) {
            prefetchContentInternal(*child, known);
        }
    }
}

}  // namespace velkor
