#include <atomic>
#include <memory>
#include <mutex>

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/BlobLayout.h"
#include "internals/ChangeNotification.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "utils/KnownThings.h"
#include "utils/OperationDeadline.h"
#include "values/SerializerBase.h"
#include "values/client/OperationOnContainer.h"
#include "values/client/ParentsOfContainer.h"
#include "values/client/Refetch.h"
#include "values/client/ServerOrder.h"
#include "velkor/VKError.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor {

using detail::ContainerAccess;

static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Container");

namespace {

std::exception_ptr handleContainerSubscription(VKContainer& container, bool subscribed,
                                               std::optional<OperationDeadline>& operation);

}  // namespace

/// The change events: a subject, and what observers subscribe to, which is the subject with the
/// observers counted, so that the daemon is told when their number goes from 0 to 1 (true) and
/// back (false). Created on first use: most containers are never observed.
///
/// The reports are made on the threads that subscribe and dispose, one at a time and outside
/// every lock: while one thread reports, the others join or leave at once and that thread makes
/// the report their change calls for once its own is done. So reports that cancel out are not
/// sent, and the daemon's last word is always the current state. A report that fails ends the
/// stream with its error; the daemon may have taken a "true" all the same, so it is withdrawn.
/// The container then lets go of the stream: whoever still holds it gets the error, and the
/// next observer of the container gets a new stream.
struct ContainerChangeStream {
    static std::shared_ptr<ContainerChangeStream> make(const std::weak_ptr<VKContainer>& owner) {
        auto stream = std::make_shared<ContainerChangeStream>(owner);
        std::weak_ptr<ContainerChangeStream> weak = stream;
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

    explicit ContainerChangeStream(std::weak_ptr<VKContainer> owner) : owner(std::move(owner)) {}

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
        // A failure ends the stream once the daemon is up to date (the failed report withdrawn),
        // so that an observer that subscribes again on hearing it is told after the withdrawal.
        std::exception_ptr failure;
        // The reports this call makes (a withdrawal after a failed one, changes of heart of other
        // threads meanwhile) share one request time-out: a daemon that does not answer holds
        // the caller up once, not once per report.
        std::optional<OperationDeadline> operation;
        for (;;) {
            bool subscribed = false;
            {
                std::lock_guard lock(mutex);
                subscribed = observers > 0 && !ended.load();
                if (subscribed == told) {
                    reporting = false;
                    break;
                }
                // Taken as told before the report: one that fails may have reached the daemon.
                told = subscribed;
            }
            auto container = owner.lock();
            if (!container) {
                std::lock_guard lock(mutex);
                reporting = false;
                break;
            }
            if (auto error = handleContainerSubscription(*container, subscribed, operation)) {
                if (!ended.exchange(true)) {
                    // Let go of first: the next observer of the container gets a new stream.
                    ContainerAccess::dropChangeStream(*container, this);
                    failure = error;
                }
            }
        }
        if (failure) {
            subject.onError(failure);
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

/// A container that the daemon does not hold for us (it abandoned it, or left a change about it
/// unanswered, and fetching it again failed): the error its changes fail with, or kInStep, and
/// how it is fetched again.
struct OutOfStep {
    static constexpr std::int64_t kInStep = -1;
    std::atomic<std::int64_t> error{kInStep};
    Refetch refetch;
};

/// The fields of a container that other threads read without its items lock, the lock, and the
/// hooks of its class.
struct VKContainer::Shared {
    Shared() : itemsLockId(UUID::random()) {}

    mutable std::mutex mutex;  // guards rootId, connection and changeStream; held only briefly
    UUID rootId;
    std::shared_ptr<InnerConnection> connection;
    std::shared_ptr<ContainerChangeStream> changeStream;
    // The lock's label is built from this id when asked for rather than stored: containers
    // are many and their labels are read only by logs and tests.
    const UUID itemsLockId;
    dispatch::ReadWriteQueue itemsLock;
    ServerOrder order;
    // Made the first time the container goes out of step, and kept from then on: few
    // containers ever do, and those that did are likely to again.
    std::atomic<OutOfStep*> outOfStep{nullptr};
    const ContainerHooks* hooks = &kNoHooks;

    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { delete outOfStep.load(std::memory_order_acquire); }

    OutOfStep& makeOutOfStep() {
        OutOfStep* state = outOfStep.load(std::memory_order_acquire);
        if (state) {
            return *state;
        }
        auto fresh = std::make_unique<OutOfStep>();
        if (outOfStep.compare_exchange_strong(state, fresh.get(), std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            return *fresh.release();
        }
        return *state;  // another thread made it first
    }

    static constexpr ContainerHooks kNoHooks{};
};

VKContainer::VKContainer(Kind kind) : VKContainerBase(kind), shared_(std::make_unique<Shared>()) {}

VKContainer::~VKContainer() {
    log.trace("Container destructed (id=%@).", id());
}

namespace {

std::weak_ptr<VKContainer> weakContainer(const VKContainer& c) {
    auto self = std::const_pointer_cast<VKContainerBase>(c.weak_from_this().lock());
    return std::static_pointer_cast<VKContainer>(self);
}

/// Tells the daemon whether the change stream has observers, within `operation`, which the
/// first report opens; gives what failed, or none.
std::exception_ptr handleContainerSubscription(VKContainer& container, bool subscribed,
                                               std::optional<OperationDeadline>& operation) {
    log.trace("New subscription state=%d (id=%@).", subscribed ? 1 : 0, container.id());
    auto connection = ContainerAccess::innerConnection(container);
    if (!connection) {
        return nullptr;
    }
    if (!operation) {
        operation.emplace(std::chrono::duration_cast<OperationDeadline::Clock::duration>(
            connection->requestTimeout()));
    }
    try {
        connection->setHasSubscription(container.id(), subscribed);
    } catch (...) {
        log.error("Can't deliver array 'has subscription' to server (id=%@).", container.id());
        return std::current_exception();
    }
    return nullptr;
}

}  // namespace

// ---- The public side ---------------------------------------------------------------------------

UUID VKContainer::rootId() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->rootId;
}

bool VKContainer::onServer() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->connection != nullptr;
}

std::shared_ptr<VKConnection> VKContainer::connection() const {
    return ContainerAccess::innerConnection(*this);
}

void VKContainer::runUnderItemsLock(bool write, void (*body)(void*), void* context) const {
    if (write) {
        shared_->itemsLock.syncBarrier([&] { body(context); });
    } else {
        shared_->itemsLock.sync([&] { body(context); });
    }
}

rx::Observable<VKContainerChange> VKContainer::asObservable() const {
    return ContainerAccess::changeStream(*this)->observable;
}

std::unordered_map<UUID, std::shared_ptr<VKContainer>> VKContainer::getAllParents() const {
    ParentsOfContainerBase::Retained retained;  // released after both locks
    return withReadItemsLock([&] {
        return ParentsOfContainerBase::lock().sync(
            [&] { return ContainerAccess::parents(*this).getAllParents(retained); });
    });
}

void VKContainer::prefetchContent(bool recursiveFetch) {
    if (!onServer()) {
        return;
    }
    // The whole walk, its waits for locks and its requests, takes one request time-out at most.
    const OperationOnContainer operation(*this);
    if (!recursiveFetch) {
        operation.withWriteLock([&] { ContainerAccess::prefetchInnerItems(*this, nullptr); });
        return;
    }
    ContainerAccess::prefetchContentInternal(*this, std::make_shared<KnownThings<UUID>>());
}

// ---- The library's side ------------------------------------------------------------------------

namespace detail {

std::shared_ptr<VKContainer> ContainerAccess::asClientContainer(const VKObjectPtr& value) {
    if (!value || !value->isContainer()) {
        return nullptr;
    }
    return std::dynamic_pointer_cast<VKContainer>(value);
}

void ContainerAccess::setRootId(VKContainer& c, const UUID& rootId) {
    std::lock_guard lock(c.shared_->mutex);
    c.shared_->rootId = rootId;
}

std::shared_ptr<InnerConnection> ContainerAccess::innerConnection(const VKContainer& c) {
    std::lock_guard lock(c.shared_->mutex);
    return c.shared_->connection;
}

void ContainerAccess::setInnerConnection(VKContainer& c,
                                         std::shared_ptr<InnerConnection> connection) {
    exchangeInnerConnection(c, std::move(connection));
}

std::shared_ptr<InnerConnection> ContainerAccess::exchangeInnerConnection(
    VKContainer& c, std::shared_ptr<InnerConnection> connection) {
    std::lock_guard lock(c.shared_->mutex);
    return std::exchange(c.shared_->connection, std::move(connection));
}

std::shared_ptr<InnerConnection> ContainerAccess::clearInnerConnectionIf(
    VKContainer& c, const InnerConnection* expected) {
    std::lock_guard lock(c.shared_->mutex);
    if (c.shared_->connection.get() != expected) {
        return nullptr;
    }
    return std::move(c.shared_->connection);
}

bool ContainerAccess::sameConnection(const VKContainer& a, const VKContainer& b) {
    const InnerConnection* mine = nullptr;
    {
        std::lock_guard lock(a.shared_->mutex);
        mine = a.shared_->connection.get();
    }
    std::lock_guard lock(b.shared_->mutex);
    return b.shared_->connection.get() == mine;
}

dispatch::ReadWriteQueue& ContainerAccess::itemsLock(const VKContainer& c) {
    return c.shared_->itemsLock;
}

std::string ContainerAccess::itemsLockLabel(const VKContainer& c) {
    return "VKContainer_items_" + c.shared_->itemsLockId.description();
}

void ContainerAccess::setHooks(VKContainer& c, const ContainerHooks& hooks) {
    c.shared_->hooks = &hooks;
}

std::shared_ptr<ContainerChangeStream> ContainerAccess::changeStream(const VKContainer& c) {
    auto owner = weakContainer(c);
    std::lock_guard lock(c.shared_->mutex);
    if (!c.shared_->changeStream) {
        c.shared_->changeStream = ContainerChangeStream::make(owner);
    }
    return c.shared_->changeStream;
}

void ContainerAccess::dropChangeStream(const VKContainer& c, const ContainerChangeStream* ended) {
    std::shared_ptr<ContainerChangeStream> dropped;  // released after the lock
    std::lock_guard lock(c.shared_->mutex);
    if (c.shared_->changeStream.get() == ended) {
        dropped = std::move(c.shared_->changeStream);
    }
}

void ContainerAccess::postChangeNotification(VKContainer& c, VKContainerChange change,
                                             InnerConnection& via) {
    // The stream, not the container, is held until delivery: observers still get the event
    // when the container is released meanwhile.
    via.schedule(
        [stream = changeStream(c), change = std::move(change)] { stream->subject.onNext(change); });
}

void ContainerAccess::addParent(VKContainer& child, const std::shared_ptr<VKContainer>& parent,
                                bool withChecks) {
    ParentsOfContainerBase::Retained retained;  // released after the lock
    ParentsOfContainerBase::lock().sync(
        [&] { parents(child).addParent(parent, child, withChecks, retained); });
}

void ContainerAccess::removeParent(VKContainer& child, const VKContainer& parent) {
    ParentsOfContainerBase::lock().sync([&] { parents(child).removeParent(parent.id()); });
}

void ContainerAccess::prefetchContentInternal(VKContainer& c, const KnownIds& known) {
    if (!c.onServer()) {
        return;
    }
    // Each container of a tree is visited once, also where two parents hold it.
    if (known && !known->insert(c.id())) {
        return;
    }
    const OperationOnContainer operation(c);
    operation.withWriteLock([&] { prefetchInnerItems(c, known); });
}

void ContainerAccess::prefetchInnerItems(VKContainer& c, const KnownIds& known) {
    if (auto hook = c.shared_->hooks->prefetchInnerItems) {
        hook(c, known);
    }
}

void ContainerAccess::adoptContentOf(VKContainer& c, VKContainer& fresh) {
    std::vector<VKContainerChange> events;
    c.withWriteItemsLock([&] {
        if (fresh.revision() < c.revision()) {
            return;  // this copy has applied later changes already
        }
        auto& order = c.shared_->order;
        // Changes of ours that the daemon merged after it read that content stay made. The
        // daemon reports only their revision to us, never the keys again, so they are placed
        // without the checks of a caller's change: the value passed them when it was set here,
        // and the fetched copy, which belongs to no connection, would fail them.
        if (c.kind() == VKObjectBase::Kind::dictionary) {
            auto& content = static_cast<VKDictionaryBase&>(fresh);
            for (auto& merged : order.mergedAfter(fresh.revision())) {
                if (merged.value) {
                    putDecoded(content, merged.key, merged.value);
                } else {
                    removeInternal(content, merged.key);
                }
            }
        }
        if (auto take = c.shared_->hooks->takeItemsOf) {
            events = take(c, fresh);
        }
        raiseRevision(c, fresh.revision());
        order.fetchedAt(fresh.revision(), !events.empty());
    });
    if (auto connection = innerConnection(c)) {
        for (auto& event : events) {
            postChangeNotification(c, std::move(event), *connection);
        }
    }
}

void ContainerAccess::raiseRevision(VKContainer& c, std::int64_t revision) {
    auto current = c.revision_.load(std::memory_order_acquire);
    while (revision > current) {
        if (c.revision_.compare_exchange_weak(current, revision, std::memory_order_acq_rel)) {
            c.shared_->order.revisionReached(revision);
            return;
        }
    }
}

void ContainerAccess::keepMergedChange(VKContainer& c, std::int64_t revision, std::string key,
                                       VKObjectPtr value) {
    if (revision > c.revision()) {
        c.shared_->order.merged({revision, std::move(key), std::move(value)});
    }
}

void ContainerAccess::handleChangeFromServer(VKContainer& c, const VKChangeNotification& change,
                                             const std::string& path) {
    if (auto hook = c.shared_->hooks->handleChangeFromServer) {
        hook(c, change, path);
    }
}

ServerOrder& ContainerAccess::serverOrder(VKContainer& c) {
    return c.shared_->order;
}

Refetch& ContainerAccess::refetch(VKContainer& c) {
    return c.shared_->makeOutOfStep().refetch;
}

Refetch* ContainerAccess::refetchIfAny(VKContainer& c) {
    OutOfStep* state = c.shared_->outOfStep.load(std::memory_order_acquire);
    return state ? &state->refetch : nullptr;
}

void ContainerAccess::setOutOfStep(VKContainer& c, std::optional<VKError> error) {
    if (error) {
        c.shared_->makeOutOfStep().error.store(error->code(), std::memory_order_release);
    } else if (OutOfStep* state = c.shared_->outOfStep.load(std::memory_order_acquire)) {
        state->error.store(OutOfStep::kInStep, std::memory_order_release);
    }
}

std::optional<VKError> ContainerAccess::outOfStep(const VKContainer& c) {
    const OutOfStep* state = c.shared_->outOfStep.load(std::memory_order_acquire);
    const auto code = state ? state->error.load(std::memory_order_acquire) : OutOfStep::kInStep;
    if (code == OutOfStep::kInStep) {
        return std::nullopt;
    }
    return VKError(static_cast<VKError::Code>(code));
}

std::vector<VKContainerChange> ContainerAccess::applyChangeToItems(
    VKContainer& c, const VKChangeNotification& change, const VKObjectPtr& value) {
    auto apply = c.shared_->hooks->applyChangeToItems;
    if (!apply) {
        throw VKError(VKError::invalidData);
    }
    return apply(c, change, value);
}

VKObjectPtr ContainerAccess::decodeChangeValue(VKContainer& c, const VKChangeNotification& change,
                                               const std::shared_ptr<InnerConnection>& connection) {
    auto decode = c.shared_->hooks->decodeChangeValue;
    if (!decode) {
        throw VKError(VKError::invalidData);
    }
    return decode(c, change, connection);
}

}  // namespace detail

namespace detail {

void ContainerAccess::serialize(const VKContainer& c, SerializerBase& serializer) {
    auto writeReference = [&] { blob::writeReference(serializer, c.id()); };
    // Containers the daemon already knows travel by id, and a proxy has no content to send:
    // neither needs its items, so neither takes its lock. Encoding a value placed into another
    // container then locks only the new containers below it, never one elsewhere in the tree.
    if (c.onServer() || c.kind() == VKObjectBase::Kind::containerProxy) {
        writeReference();
        return;
    }
    if (serializer.rememberContainer(sharedContainer(c))) {
        writeReference();
        return;
    }
    c.withReadItemsLock([&] {
        std::shared_ptr<ContainerChangeStream> stream;
        {
            std::lock_guard lock(c.shared_->mutex);
            stream = c.shared_->changeStream;
        }
        const bool hasSubscription = stream && stream->subject.hasObservers();
        const bool isArray = c.kind() == VKObjectBase::Kind::array;
        const auto count = isArray ? static_cast<const VKArrayBase&>(c).innerItems_.size()
                                   : static_cast<const VKDictionaryBase&>(c).innerItems_.size();
        blob::writeContainer(serializer, c.kind(),
                             blob::ClientHeader{c.id(), c.revision(), hasSubscription,
                                                static_cast<std::int64_t>(count)});
        if (isArray) {
            serializeInnerItems(static_cast<const VKArrayBase&>(c), serializer);
        } else {
            serializeInnerItems(static_cast<const VKDictionaryBase&>(c), serializer);
        }
    });
}

}  // namespace detail
}  // namespace velkor
