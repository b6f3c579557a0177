// The dictionary's construction, decoding, reads, prefetching and the changes the caller makes.
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
#include "values/client/RootAdoption.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor {

using Access = detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");

std::shared_ptr<VKDictionary> VKDictionary::make(std::size_t minimumCapacity) {
    return std::make_shared<VKDictionary>(Private{}, minimumCapacity);
}

VKDictionary::VKDictionary(Private, std::size_t minimumCapacity)
    : VKDictionaryBase(minimumCapacity) {
    Access::setHooks(*this, Access::dictionaryHooks);
}

VKDictionary::~VKDictionary() {
    log.trace("Destructing dictionary (id=%@)...", id());
    if (auto connection = Access::innerConnection(*this)) {
        connection->unregisterContainer(id(), weak_from_this());
    }
}

std::shared_ptr<VKDictionary> Access::decodeDictionary(DeserializerOnClient& decoder) {
    auto header = decoder.decodeContainerHeader();
    if (!header) {
        log.error("Can't decode base properties of a dictionary.");
        return nullptr;
    }
    // An entry takes at least three bytes: its key, the value's kind and the value.
    auto dictionary = VKDictionary::make(decoder.boundedCapacity(header->count, 3));
    setId(*dictionary, header->id);
    setRootId(*dictionary, header->rootId);
    setRevision(*dictionary, header->revision);
    // Not shared before it is registered, so the entries are filled without its lock.
    for (std::int64_t i = 0; i < header->count; ++i) {
        auto key = decoder.decodeString();
        if (!key) {
            log.error("Can't decode key of a dictionary item.");
            return nullptr;
        }
        auto value = decoder.decodeVKObject();
        if (!value) {
            log.error("Can't decode dictionary item with key='%@'.", *key);
            return nullptr;
        }
        putDecoded(*dictionary, std::move(*key), std::move(value));
    }
    return std::static_pointer_cast<VKDictionary>(decoder.completeContainer(dictionary));
}

std::size_t VKDictionary::count() const {
    return OperationOnContainer::read(*this, [&] { return innerItems().size(); });
}

VKDictionary::Items VKDictionary::items() const {
    return OperationOnContainer::read(*this, [&] { return innerItems(); });
}

std::string VKDictionary::description() const {
    return withReadItemsLock([&] {
        return "dic(id=" + id().description() + ", count=" + std::to_string(innerItems().size()) +
               ")";
    });
}

bool VKDictionary::hasKey(const std::string& key) const {
    return OperationOnContainer::read(
        *this, [&] { return Access::findItem(*this, key) != innerItems().end(); });
}

VKObjectPtr VKDictionary::get(const std::string& at) {
    VKObjectPtr value;
    auto look = [&] {
        auto found = Access::findItem(*this, at);
        value = found == innerItems().end() ? nullptr : found->second;
    };
    // A read that must wait for the lock (another thread's exchange holds it) and the request
    // for a proxy that may follow wait within one operation.
    std::optional<OperationOnContainer> operation;
    if (!Access::itemsLock(*this).trySync(look)) {
        operation.emplace(*this);
        operation->withReadLock(look);
    }
    if (!value || value->kind() != Kind::containerProxy) {
        return value;
    }
    // A proxy: resolved under the write lock, where the entry is looked at again.
    if (!operation) {
        operation.emplace(*this);
    }
    operation->withWriteLock([&] {
        auto found = Access::findItem(*this, at);
        if (found == innerItems().end()) {
            value = nullptr;
            return;
        }
        auto proxy = std::dynamic_pointer_cast<ContainerProxy>(found->second);
        if (!proxy) {
            value = found->second;
            return;
        }
        value = proxy->obtainRealContainer(nullptr);
        Access::setInternal(*this, at, value);
    });
    return value;
}

std::vector<VKContainerChange> Access::takeDictionaryItems(VKDictionary& dictionary,
                                                           VKDictionary& source) {
    auto& mine = dictionary.innerItems();
    auto& theirs = source.innerItems();
    std::vector<VKContainerChange> events;
    for (const auto& [key, value] : mine) {
        auto other = findItem(source, key);
        if (other == theirs.end()) {
            events.emplace_back(VKContainerChange::DidDictionaryChildRemove{key, value});
        } else if (!equalValues(value, other->second)) {
            events.emplace_back(VKContainerChange::DidDictionaryChildReplace{key, value});
        }
    }
    for (const auto& [key, value] : theirs) {
        if (findItem(dictionary, key) == mine.end()) {
            events.emplace_back(VKContainerChange::DidDictionaryChildAdd{key, value});
        }
    }
    removeAllInternal(dictionary);
    for (const auto& [key, value] : theirs) {
        ChildLinks::attach(dictionary, value, false);
        ChildLinks::detach(source, value);
    }
    moveItemsFrom(dictionary, source);
    return events;
}

void Access::prefetchDictionaryItems(VKDictionary& dictionary, const KnownIds& known) {
    for (auto& [key, value] : dictionary.innerItems()) {
        auto child = asClientContainer(value);
        if (!child) {
            continue;
        }
        if (auto* proxy = dynamic_cast<ContainerProxy*>(child.get())) {
            setInternal(dictionary, key, proxy->obtainRealContainer(known));
        } else if (known && child->onServer()) {
            prefetchContentInternal(*child, known);
        }
    }
}

void VKDictionary::set(const std::string& at, VKObjectPtr value) {
    if (!value) {
        throw VKError(VKError::invalidData);
    }
    const basalt::LogFormat resultLine(
        "Result of dictionary `child changed/inserted` notification: ");
    const basalt::LogFormat conflictLine(
        "There was dictionary synchronization conflict during set @ '%@' key (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    const RootAdoption adoption(value);
    operation.withWriteLock([&] {
        auto mutation = Access::setInternal(*this, at, value);
        const bool changed = mutation.changed;
        const VKObjectPtr old = std::move(mutation.oldValue);
        auto connection = Access::innerConnection(*this);
        if (!changed || !connection) {
            return;
        }
        auto undo = [&] {
            if (old) {
                try {
                    Access::setInternal(*this, at, old);
                } catch (const VKError&) {
                    // What the caller learns is why the change failed; the undo can only fail
                    // the same way.
                }
            } else {
                Access::removeInternal(*this, at);
            }
            adoption.undo();
        };
        SerializerOnClient encoder;
        const auto [result, revision] = Access::undoneUnlessAccepted(undo, [&] {
            serialize(*value, encoder);
            auto type = old ? ChangeType::childChanged : ChangeType::childInserted;
            return Access::exchangeChange(*this, *connection, type, 0, 0, at,
                                          encoder.takeArchiverData(), log, resultLine);
        });
        if (result == ChangeResult::synchronizeConflict) {
            log.error(conflictLine, at, id());
            undo();
            throw VKError(VKError::synchronizeConflict);
        }
        if (result == ChangeResult::done) {
            Access::raiseRevision(*this, revision);
        } else if (result == ChangeResult::waitToBeUpdated) {
            Access::keepMergedChange(*this, revision, at, value);
        }
        encoder.registerContainers(rootId(), *connection, this);
    });
}

void VKDictionary::remove(const std::string& at) {
    const basalt::LogFormat resultLine("Result of dictionary `child removed` notification: ");
    const basalt::LogFormat conflictLine(
        "There was dictionary synchronization conflict during remove @ '%@' key. (id=%@).");
    const OperationOnContainer operation(*this);
    Access::requireInStep(*this);
    operation.withWriteLock([&] {
        auto mutation = Access::removeInternal(*this, at);
        const bool changed = mutation.changed;
        const VKObjectPtr old = std::move(mutation.oldValue);
        auto connection = Access::innerConnection(*this);
        if (!changed || !connection) {
            return;
        }
        auto undo = [&] {
            try {
                Access::setInternal(*this, at, old);
            } catch (const VKError&) {
                // As in set: the reason is reported, not the undo.
            }
        };
        const auto [result, revision] = Access::undoneUnlessAccepted(undo, [&] {
            return Access::exchangeChange(*this, *connection, ChangeType::childRemoved, 0, 0, at,
                                          {}, log, resultLine);
        });
        if (result == ChangeResult::synchronizeConflict) {
            log.error(conflictLine, at, id());
            undo();
            throw VKError(VKError::synchronizeConflict);
        }
        if (result == ChangeResult::done) {
            Access::raiseRevision(*this, revision);
        } else if (result == ChangeResult::waitToBeUpdated) {
            Access::keepMergedChange(*this, revision, at, nullptr);
        }
    });
}

void VKDictionary::removeAll() {
    Access::removeAllEntries(
        *this, [this] { Access::removeAllInternal(*this); }, log,
        basalt::LogFormat("Result of dictionary `children removed` notification: "),
        basalt::LogFormat("There was dictionary synchronization conflict during removal "
                          "of all children. (id=%@)."));
}

}  // namespace velkor
