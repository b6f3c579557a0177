#include <atomic>
#include <mutex>

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/ChangeNotification.h"
#include "internals/InnerConnection.h"
#include "utils/KnownThings.h"
#include "values/SerializerBase.h"
#include "values/client/OwnChange.h"
#include "values/client/ParentsOfContainer.h"
#include "values/client/ServerChangeSteps.h"
#include "values/client/ServerOrder.h"
#include "velkor/VKError.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor {

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Container");

/// The fields of a container that other threads read without its items lock, and the lock.
struct VKContainer::Shared {
    Shared() : itemsLockId(UUID::random()), itemsLock(std::string()) {}

    mutable std::mutex mutex;  // guards rootId, connection and changeStream; held only briefly
    UUID rootId;
    std::shared_ptr<InnerConnection> connection;
    std::shared_ptr<ChangeStream> changeStream;
    // The lock's label is built from this id when asked for rather than stored: containers
    // are many and their labels are read only by logs and tests.
    const UUID itemsLockId;
    dispatch::ReadWriteQueue itemsLock;
    ServerOrder order;
};

struct VKContainer::Applied {
    std::vector<VKContainerChange> events;
    std::string path;
};

/// The change events: a subject, and what observers subscribe to, which is the subject with the
/// observers counted, so that the daemon is told when their number goes from 0 to 1 (true) and
/// back (false). Created on first use: most containers are never observed.
///
/// The reports are made on the threads that subscribe and dispose, one at a time and outside
/// every lock: while one thread reports, the others join or leave at once and that thread makes
/// the report their change calls for once its own is done. So reports that cancel out are not
/// sent, and the daemon's last word is always the current state. A report that fails ends the
/// stream with its error; the daemon may have taken a "true" all the same, so it is withdrawn.
struct VKContainer::ChangeStream {
    static std::shared_ptr<ChangeStream> make(const std::weak_ptr<VKContainer>& owner) {
        auto stream = std::make_shared<ChangeStream>(owner);
        std::weak_ptr<ChangeStream> weak = stream;
        stream->observable = rx::Observable<VKContainerChange>::create(
            [events = stream->subject.asObservable(), weak](auto observer) -> rx::DisposablePtr {
                auto inner = events.subscribe(std::move(observer));
                auto stream = weak.lock();
                if (!stream) {
                    return inner;
                }
                stream->countObserver(+1);
                return rx::Disposables::create([inner, weak] {
                    if (inner) {
                        inner->dispose();
                    }
                    if (auto stream = weak.lock()) {
                        stream->countObserver(-1);
                    }
                });
            });
        return stream;
    }

    explicit ChangeStream(std::weak_ptr<VKContainer> owner) : owner(std::move(owner)) {}

    /// Counts an observer in or out, then brings the daemon up to date unless another thread
    /// is doing so already.
    void countObserver(int change) {
        {
            std::lock_guard lock(mutex);
            observers += change;
            if (reporting) {
                return;
            }
            reporting = true;
        }
        for (;;) {
            bool subscribed = false;
            {
                std::lock_guard lock(mutex);
                subscribed = observers > 0 && !ended.load();
                if (subscribed == told) {
                    reporting = false;
                    return;
                }
                // Taken as told before the report: one that fails may have reached the daemon.
                told = subscribed;
            }
            auto container = owner.lock();
            if (!container) {
                std::lock_guard lock(mutex);
                reporting = false;
                return;
            }
            if (auto error = container->handleContainerSubscription(subscribed)) {
                if (!ended.exchange(true)) {
                    subject.onError(error);
                }
            }
        }
    }

    const std::weak_ptr<VKContainer> owner;
    rx::PublishSubject<VKContainerChange> subject;
    rx::Observable<VKContainerChange> observable;
    std::atomic<bool> ended{false};  // a failed subscription report ended the stream

    std::mutex mutex;  // guards the three fields below; held only to read or change them
    int observers = 0;
    bool told = false;       // what the daemon was last told, or may have taken
    bool reporting = false;  // a thread is bringing the daemon up to date
};

VKContainer::VKContainer(Kind kind) : VKContainerBase(kind), shared_(std::make_unique<Shared>()) {}

VKContainer::~VKContainer() {
    log.trace("Container destructed (id=%@).", id());
}

std::shared_ptr<VKContainer> VKContainer::asClientContainer(const VKObjectPtr& value) {
    if (!value || !value->isContainer()) {
        return nullptr;
    }
    return std::dynamic_pointer_cast<VKContainer>(value);
}

UUID VKContainer::rootId() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->rootId;
}

void VKContainer::setRootId(const UUID& rootId) {
    std::lock_guard lock(shared_->mutex);
    shared_->rootId = rootId;
}

bool VKContainer::onServer() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->connection != nullptr;
}

std::shared_ptr<VKConnection> VKContainer::connection() const {
    return innerConnection();
}

std::shared_ptr<InnerConnection> VKContainer::innerConnection() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->connection;
}

void VKContainer::setInnerConnection(std::shared_ptr<InnerConnection> connection) {
    exchangeInnerConnection(std::move(connection));
}

std::shared_ptr<InnerConnection> VKContainer::exchangeInnerConnection(
    std::shared_ptr<InnerConnection> connection) {
    std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->connection, std::move(connection));
}

std::shared_ptr<InnerConnection> VKContainer::clearInnerConnectionIf(
    const InnerConnection* expected) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->connection.get() != expected) {
        return nullptr;
    }
    return std::move(shared_->connection);
}

bool VKContainer::sameConnection(const VKContainer& other) const {
    const InnerConnection* mine = nullptr;
    {
        std::lock_guard lock(shared_->mutex);
        mine = shared_->connection.get();
    }
    std::lock_guard lock(other.shared_->mutex);
    return other.shared_->connection.get() == mine;
}

dispatch::ReadWriteQueue& VKContainer::itemsLock() const {
    return shared_->itemsLock;
}

void VKContainer::runUnderItemsLock(bool write, void (*body)(void*), void* context) const {
    if (write) {
        itemsLock().syncBarrier([&] { body(context); });
    } else {
        itemsLock().sync([&] { body(context); });
    }
}

std::string VKContainer::itemsLockLabel() const {
    return "VKContainer_items_" + shared_->itemsLockId.description();
}

std::weak_ptr<VKContainer> VKContainer::weakContainer() const {
    auto self = std::const_pointer_cast<VKContainerBase>(weak_from_this().lock());
    return std::static_pointer_cast<VKContainer>(self);
}

std::shared_ptr<VKContainer::ChangeStream> VKContainer::changeStream() const {
    auto owner = weakContainer();
    std::lock_guard lock(shared_->mutex);
    if (!shared_->changeStream) {
        shared_->changeStream = ChangeStream::make(owner);
    }
    return shared_->changeStream;
}

std::shared_ptr<VKContainer::ChangeStream> VKContainer::existingChangeStream() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->changeStream;
}

rx::Observable<VKContainerChange> VKContainer::asObservable() const {
    return changeStream()->observable;
}

std::exception_ptr VKContainer::handleContainerSubscription(bool subscribed) {
    log.trace("New subscription state=%d (id=%@).", subscribed ? 1 : 0, id());
    auto connection = innerConnection();
    if (!connection) {
        return nullptr;
    }
    try {
        connection->setHasSubscription(id(), subscribed);
    } catch (...) {
        log.error("Can't deliver array 'has subscription' to server (id=%@).", id());
        return std::current_exception();
    }
    return nullptr;
}

void VKContainer::postChangeNotification(VKContainerChange change, InnerConnection& via) {
    // The stream, not the container, is held until delivery: observers still get the event
    // when the container is released meanwhile.
    via.schedule(
        [stream = changeStream(), change = std::move(change)] { stream->subject.onNext(change); });
}

std::unordered_map<UUID, std::shared_ptr<VKContainer>> VKContainer::getAllParents() const {
    ParentsOfContainerBase::Retained retained;  // released after both locks
    return withReadItemsLock([&] {
        return ParentsOfContainerBase::lock().sync(
            [&] { return parents().getAllParents(retained); });
    });
}

void VKContainer::addParent(const std::shared_ptr<VKContainer>& parent, bool withChecks) {
    ParentsOfContainerBase::Retained retained;  // released after the lock
    ParentsOfContainerBase::lock().sync(
        [&] { parents().addParent(parent, *this, withChecks, retained); });
}

void VKContainer::removeParent(const VKContainer& parent) {
    ParentsOfContainerBase::lock().sync([&] { parents().removeParent(parent.id()); });
}

void VKContainer::prefetchContent(bool recursiveFetch) {
    if (!onServer()) {
        return;
    }
    if (!recursiveFetch) {
        withWriteItemsLock([&] { prefetchInnerItems(nullptr); });
        return;
    }
    prefetchContentInternal(std::make_shared<KnownThings<UUID>>());
}

void VKContainer::prefetchContentInternal(const KnownIds& known) {
    if (!onServer()) {
        return;
    }
    // Each container of a tree is visited once, also where two parents hold it.
    if (known && !known->insert(id())) {
        return;
    }
    withWriteItemsLock([&] { prefetchInnerItems(known); });
}

void VKContainer::prefetchInnerItems(const KnownIds&) {}

void VKContainer::handleChangeFromServer(const VKChangeNotification&, const std::string&) {}

void VKContainer::adoptContentOf(VKContainer& fresh) {
    std::vector<VKContainerChange> events;
    withWriteItemsLock([&] {
        if (fresh.revision() < revision()) {
            return;  // this copy has applied later changes already
        }
        events = takeItemsOf(fresh);
        raiseRevision(fresh.revision());
    });
    if (auto connection = innerConnection()) {
        for (auto& event : events) {
            postChangeNotification(std::move(event), *connection);
        }
    }
}

std::vector<VKContainerChange> VKContainer::takeItemsOf(VKContainer&) {
    return {};
}

VKObjectPtr VKContainer::decodeChangeValue(const VKChangeNotification&,
                                           const std::shared_ptr<InnerConnection>&) {
    throw VKError(VKError::invalidData);
}

std::vector<VKContainerChange> VKContainer::applyChangeToItems(const VKChangeNotification&,
                                                               const VKObjectPtr&) {
    throw VKError(VKError::invalidData);
}

void VKContainer::raiseRevision(std::int64_t revision) {
    if (revision > this->revision()) {
        storeRevision(revision);
        shared_->order.revisionAdvanced();
    }
}

void VKContainer::applyChangeFromServer(const VKChangeNotification& change,
                                        const std::string& path) {
    auto connection = ServerChangeSteps::requireConnection(*this);
    if (ServerChangeSteps::carriesNothing(change)) {
        return;
    }
    if (ServerChangeSteps::applyToAnyContainer(*this, change, *connection)) {
        ServerChangeSteps::notifyRoot(*this, path, *connection);
        return;
    }
    // Decoded before the lock is taken: decoding registers containers and may lock others.
    auto value = decodeChangeValue(change, connection);
    std::vector<Applied> applied;
    withWriteItemsLock([&] {
        auto& order = shared_->order;
        if (order.mustWait(change.revision, revision())) {
            order.hold({change, path, std::move(value)});
            return;
        }
        applyLocked(change, path, value, applied);
        applyHeldChanges(applied);
    });
    deliver(applied, connection);
}

void VKContainer::applyLocked(const VKChangeNotification& change, const std::string& path,
                              const VKObjectPtr& value, std::vector<Applied>& applied) {
    auto events = applyChangeToItems(change, value);
    raiseRevision(change.revision);
    applied.push_back({std::move(events), path});
}

void VKContainer::applyHeldChanges(std::vector<Applied>& applied) {
    while (auto next = shared_->order.takeNext(revision())) {
        applyHeldChange(next->change, next->path, next->value, applied);
    }
}

void VKContainer::applyHeldChange(const VKChangeNotification& change, const std::string& path,
                                  const VKObjectPtr& value, std::vector<Applied>& applied) {
    try {
        applyLocked(change, path, value, applied);
    } catch (const VKError&) {
        // As for a report applied at once: the one change is skipped, the others still apply.
        log.error("Can't handle change from server (%@).", change);
    }
}

void VKContainer::deliver(std::vector<Applied>& applied,
                          const std::shared_ptr<InnerConnection>& connection) {
    if (!connection) {
        return;
    }
    for (auto& change : applied) {
        for (auto& event : change.events) {
            postChangeNotification(std::move(event), *connection);
        }
        ServerChangeSteps::notifyRoot(*this, change.path, *connection);
    }
}

VKContainer::OwnChange::OwnChange(VKContainer& container) : container_(container) {
    container_.shared_->order.beginOwnChange();
}

VKContainer::OwnChange::~OwnChange() {
    if (!finished_) {
        finish(nullptr);
    }
}

void VKContainer::OwnChange::apply(ChangeResult result, std::int64_t newRevision,
                                   const std::function<void()>& change) {
    auto& order = container_.shared_->order;
    // Every report of a revision before ours comes first. A merged change (waitToBeUpdated)
    // follows no particular revision: the daemon reports its revision afterwards.
    std::optional<std::int64_t> after;
    if (result == ChangeResult::done) {
        after = newRevision - 1;
    } else if (result != ChangeResult::waitToBeUpdated) {
        after = newRevision;
    }
    if (after) {
        order.waitForRevision([this] { return container_.revision(); }, *after);
    }
    finish([&](std::vector<Applied>& applied) {
        while (after) {
            auto next = order.takeUpTo(*after);
            if (!next) {
                break;
            }
            container_.applyHeldChange(next->change, next->path, next->value, applied);
        }
        change();
        if (result == ChangeResult::done) {
            container_.raiseRevision(newRevision);
        }
    });
}

void VKContainer::OwnChange::finish(const std::function<void(std::vector<Applied>&)>& change) {
    finished_ = true;
    std::vector<Applied> applied;
    std::exception_ptr failure;
    container_.withWriteItemsLock([&] {
        if (change) {
            try {
                change(applied);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        container_.shared_->order.endOwnChange();
        container_.applyHeldChanges(applied);
    });
    container_.deliver(applied, container_.innerConnection());
    if (failure) {
        std::rethrow_exception(failure);
    }
}

std::pair<ChangeResult, std::int64_t> VKContainer::exchangeChange(
    InnerConnection& connection, ChangeType type, std::int64_t from, std::int64_t to,
    std::string key, std::vector<std::uint8_t> data, const basalt::QZLogger& logger,
    const basalt::LogFormat& resultMessage) {
    auto record = std::make_shared<const VKChangeNotification>(type, id(), revision(), from, to,
                                                               std::move(key), std::move(data));
    auto [result, newRevision] = connection.publishChangeNotification(record);
    logger.debug(basalt::LogFormat("%@%@ (newRev=%d)", resultMessage.file, resultMessage.line,
                                   resultMessage.function),
                 resultMessage.text, caseName(result), newRevision);
    return {result, newRevision};
}

void VKContainer::removeAllEntries(const std::function<void()>& clear,
                                   const basalt::QZLogger& logger,
                                   const basalt::LogFormat& resultMessage,
                                   const basalt::LogFormat& conflictMessage) {
    auto connection = innerConnection();
    if (!connection) {
        withWriteItemsLock(clear);
        return;
    }
    OwnChange own(*this);
    const auto [result, revision] = exchangeChange(*connection, ChangeType::childrenRemoved, 0, 0,
                                                   {}, {}, logger, resultMessage);
    if (result == ChangeResult::synchronizeConflict) {
        logger.error(conflictMessage, id());
        throw VKError(VKError::synchronizeConflict);
    }
    if (result == ChangeResult::waitToBeUpdated) {
        raiseRevision(revision);
    }
    own.apply(result, revision, clear);
}

void VKContainer::serialize(SerializerBase& serializer) const {
    auto writeReference = [&] {
        serializer.encodeInteger(static_cast<std::int64_t>(Kind::containerProxy)).encodeUuid(id());
    };
    // Containers the daemon already knows travel by id, and a proxy has no content to send:
    // neither needs its items, so neither takes its lock. Encoding a value placed into another
    // container then locks only the new containers below it, never one elsewhere in the tree.
    if (onServer() || kind() == Kind::containerProxy) {
        writeReference();
        return;
    }
    auto self = std::const_pointer_cast<VKContainerBase>(shared_from_this());
    if (serializer.rememberContainer(std::static_pointer_cast<VKContainer>(self))) {
        writeReference();
        return;
    }
    withReadItemsLock([&] {
        auto stream = existingChangeStream();
        bool hasSubscription = stream && stream->subject.hasObservers();
        serializer.encodeInteger(static_cast<std::int64_t>(kind()))
            .encodeUuid(id())
            .encodeInteger(revision())
            .encodeInteger(hasSubscription ? 1 : 0);
        serializeInnerItems(serializer);
    });
}

}  // namespace velkor
