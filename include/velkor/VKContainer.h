#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velkor/Subscription.h"
#include "velkor/UUID.h"
#include "velkor/VKContainerBase.h"
#include "velkor/VKContainerChange.h"
#include "velkor/rx/Observable.h"

namespace velkor {

class InnerConnection;
class VKConnection;
class VKChangeNotification;
enum class ChangeType : std::uint8_t;
enum class ChangeResult : std::uint8_t;
template <typename T>
class KnownThings;
namespace dispatch {
class ReadWriteQueue;
}
namespace basalt {
class QZLogger;
struct LogFormat;
}  // namespace basalt

/// The client side of every container (arrays, dictionaries and proxies): the settings file it
/// belongs to, the connection it talks through, the lock over its items and the stream of change
/// events that observers subscribe to.
///
/// A container is local until the daemon knows it (a tree being built before it is created, or
/// one detached when its settings file was deleted): then changes stay in memory. Once attached
/// to a connection every change is sent to the daemon and confirmed before the call returns.
class VKContainer : public VKContainerBase {
  public:
    ~VKContainer() override;

    /// The id of the root container of the settings file; all zeros while there is none.
    UUID rootId() const;
    /// Whether the container is attached to a connection.
    bool onServer() const;
    /// The connection the container is attached to, or empty.
    std::shared_ptr<VKConnection> connection() const;

    /// Replaces the proxies held by this container (or, recursively, by the whole tree below it)
    /// by their real containers, fetching them from the daemon. Does nothing while local.
    void prefetchContent(bool recursiveFetch);

    /// The containers holding this one, by id (including the parents of the proxy this container
    /// was resolved from).
    std::unordered_map<UUID, std::shared_ptr<VKContainer>> getAllParents() const;

    /// The change events of this container. They arrive on the connection's scheduler, in the
    /// order they were posted, never on the thread that caused them; observers are never called
    /// concurrently. The daemon is told when the stream gains its first observer and when it
    /// loses its last; telling it holds up only the thread that does, never other observers
    /// joining or leaving meanwhile.
    ///
    /// When the daemon cannot be told, every observer receives that error and the stream stays
    /// ended: later observers receive the error at once, and nothing more is sent for this
    /// container, except that a failed report of a first observer, which the daemon may have
    /// taken all the same, is withdrawn.
    rx::Observable<VKContainerChange> asObservable() const;

    /// Subscribes `onChange` (and `onError`, see asObservable) to the change events and hands
    /// the subscription out scoped: it ends, and the daemon learns of a last observer leaving,
    /// when the returned object is destroyed or disposed.
    Subscription observe(std::function<void(const VKContainerChange&)> onChange,
                         std::function<void(rx::Error)> onError = {}) const {
        return Subscription(asObservable().subscribe(std::move(onChange), std::move(onError)));
    }

    // ---- Library-internal -------------------------------------------------------------------

    using KnownIds = std::shared_ptr<KnownThings<UUID>>;

    /// What a mutation primitive of the array and dictionary bases reports: whether the items
    /// changed, and the value that stood at the place before (empty for a new dictionary key).
    struct ItemMutation {
        bool changed;
        VKObjectPtr oldValue;
    };

    /// `value` as a client container (an array, a dictionary or a proxy), or empty for scalars.
    static std::shared_ptr<VKContainer> asClientContainer(const VKObjectPtr& value);

    std::shared_ptr<VKContainer> sharedContainer() {
        return std::static_pointer_cast<VKContainer>(shared_from_this());
    }

    void setRootId(const UUID& rootId);
    std::shared_ptr<InnerConnection> innerConnection() const;
    void setInnerConnection(std::shared_ptr<InnerConnection> connection);
    /// Sets the connection and hands back the previous one, for the caller to release where no
    /// lock is held (it may be the last reference).
    std::shared_ptr<InnerConnection> exchangeInnerConnection(
        std::shared_ptr<InnerConnection> connection);
    /// Clears the connection only when it is still `expected`, handing it back (empty when it
    /// was not cleared) for the caller to release where no lock is held.
    std::shared_ptr<InnerConnection> clearInnerConnectionIf(const InnerConnection* expected);
    /// Whether both containers are attached to the very same connection, or both to none.
    bool sameConnection(const VKContainer& other) const;

    /// Visits this container once per walk (`known` collects the visited ids; without it the
    /// container is always visited) and replaces the proxies among its items.
    void prefetchContentInternal(const KnownIds& known);
    /// Replaces the proxies among the items; called with the write lock held. A container
    /// without items of its own (a proxy) has nothing to replace.
    virtual void prefetchInnerItems(const KnownIds& known);

    /// Records `parent` in this container's parent set (on the process-wide parents lock); with
    /// checks, refuses cycles (circularReferences) and foreign trees (notTheSameRoot).
    void addParent(const std::shared_ptr<VKContainer>& parent, bool withChecks);
    /// Undoes one addParent of `parent`.
    void removeParent(const VKContainer& parent);

    /// Takes the daemon's revision unchanged.
    void setRevision(std::int64_t revision) { storeRevision(revision); }
    /// Takes the daemon's revision when it is ahead of the container's: a change that the
    /// daemon ordered before one of ours and that arrives after it never moves it back.
    void raiseRevision(std::int64_t revision);

    /// Delivers `change` to the observers later, through `via`'s scheduler, in posting order.
    /// Observers subscribed when it is delivered receive it, even if the container is gone by
    /// then.
    void postChangeNotification(VKContainerChange change, InnerConnection& via);

    /// Takes the content and revision of `fresh`, a copy of this container that was just
    /// decoded from the daemon and is shared with nobody, unless this container already stands
    /// at a later revision; observers get the events of the differences.
    void adoptContentOf(VKContainer& fresh);
    /// With the write lock held: takes the items of `fresh` (of this container's class) and
    /// gives the events of the differences. A container without items (a proxy) takes nothing.
    virtual std::vector<VKContainerChange> takeItemsOf(VKContainer& fresh);

    /// Applies a change that the daemon reports (another client's change), `path` being this
    /// container's path in its settings file. Throws VKError when it cannot be applied. A
    /// container without items of its own (a proxy) has nothing to apply and ignores it.
    virtual void handleChangeFromServer(const VKChangeNotification& change,
                                        const std::string& path);

    // The items lock: readers share it, writers hold it alone. Not re-entrant. A lock that
    // cannot be taken throws std::system_error before `f` runs; `f`'s own exceptions pass on.

    /// Runs `f` on the items lock as a reader, concurrently with other readers, and returns its
    /// result.
    template <typename F>
    std::invoke_result_t<F&> withReadItemsLock(F&& f) const {
        return withItemsLock(false, std::forward<F>(f));
    }
    /// Runs `f` on the items lock alone, after the blocks already running and before the ones
    /// that come later, and returns its result.
    template <typename F>
    std::invoke_result_t<F&> withWriteItemsLock(F&& f) const {
        return withItemsLock(true, std::forward<F>(f));
    }
    /// Runs `f` as a writer when `write` is set, else as a reader.
    template <typename F>
    std::invoke_result_t<F&> withItemsLock(bool write, F&& f) const {
        using Result = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<Result>) {
            auto call = [&] { f(); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
        } else if constexpr (std::is_reference_v<Result>) {
            std::remove_reference_t<Result>* result = nullptr;
            auto call = [&] { result = std::addressof(f()); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
            return static_cast<Result>(*result);
        } else {
            std::optional<Result> result;
            auto call = [&] { result.emplace(f()); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
            return std::move(*result);
        }
    }

    /// Writes the container into `serializer`: as a reference (kind 5 and id) when it is
    /// attached to a connection, is a proxy, or was written before in the same blob; otherwise
    /// in full, under its read lock.
    void serialize(SerializerBase& serializer) const override;

    /// "VKContainer_items_" followed by a UUID of the lock's own.
    std::string itemsLockLabel() const;

  protected:
    explicit VKContainer(Kind kind);

    /// The items lock itself ("dispatch/ReadWriteQueue.h"), for the reads of the library's own
    /// containers, which take it inline rather than through the templates above.
    dispatch::ReadWriteQueue& itemsLock() const;

    /// The first half of every change sent to the daemon: builds the record of one change of
    /// this container (its id and current revision with the given fields), publishes it through
    /// `connection`, logs `resultMessage` followed by the result's case name and the new
    /// revision at debug level through `logger` (as written where `resultMessage` was, so the
    /// line names the caller's function), and returns the daemon's verdict and the new
    /// revision. Errors of the publication propagate; nothing is changed here, applying the
    /// verdict is the caller's.
    std::pair<ChangeResult, std::int64_t> exchangeChange(InnerConnection& connection,
                                                         ChangeType type, std::int64_t from,
                                                         std::int64_t to, std::string key,
                                                         std::vector<std::uint8_t> data,
                                                         const basalt::QZLogger& logger,
                                                         const basalt::LogFormat& resultMessage);

    /// The handling of the daemon's reports that arrays and dictionaries share: decodes the
    /// value the record carries (decodeChangeValue), then, under the write lock, applies it
    /// (applyChangeToItems) and takes its revision, in the daemon's order: while one of this
    /// client's own changes is in flight, a record that the daemon ordered after it waits for
    /// it. The events go to the observers, and the root learns of the change at `path`.
    void applyChangeFromServer(const VKChangeNotification& change, const std::string& path);
    /// The value `change` carries, decoded on `connection`, or empty for a type that carries
    /// none; throws invalidData for a type the container does not take.
    virtual VKObjectPtr decodeChangeValue(const VKChangeNotification& change,
                                          const std::shared_ptr<InnerConnection>& connection);
    /// Applies one reported change with the write lock held and returns the events for the
    /// observers; throws VKError when it does not fit the items.
    virtual std::vector<VKContainerChange> applyChangeToItems(const VKChangeNotification& change,
                                                              const VKObjectPtr& value);

    /// One of this client's changes that is applied only after the daemon accepted it
    /// ("values/client/OwnChange.h").
    class OwnChange;

    /// removeAll of arrays and dictionaries: when attached, asks the daemon to remove every
    /// entry (throwing synchronizeConflict, logged as `conflictMessage` with the id, or the
    /// connection's errors, with nothing removed); then runs `clear` under the write lock and,
    /// when the daemon answered done, takes the new revision.
    void removeAllEntries(const std::function<void()>& clear, const basalt::QZLogger& logger,
                          const basalt::LogFormat& resultMessage,
                          const basalt::LogFormat& conflictMessage);

  private:
    struct Shared;        // root id, connection, change stream and the items lock
    struct ChangeStream;  // created when first observed or posted to
    struct Applied;       // events of one applied report, and the path they concern

    /// Under the write lock: applies the held reports that may follow now.
    void applyHeldChanges(std::vector<Applied>& applied);
    /// Under the write lock: applies one held report; one that does not fit is logged and
    /// skipped.
    void applyHeldChange(const VKChangeNotification& change, const std::string& path,
                         const VKObjectPtr& value, std::vector<Applied>& applied);
    /// Applies one report under the write lock (its revision included) into `applied`.
    void applyLocked(const VKChangeNotification& change, const std::string& path,
                     const VKObjectPtr& value, std::vector<Applied>& applied);
    /// Posts the events of applied reports through `connection`, each followed by its root's
    /// event; nothing without a connection.
    void deliver(std::vector<Applied>& applied, const std::shared_ptr<InnerConnection>& connection);

    /// Runs `body(context)` on the items lock; what the lock templates above reduce to, so that
    /// the lock's definition stays inside the library.
    void runUnderItemsLock(bool write, void (*body)(void*), void* context) const;
    template <typename Call>
    static void callBody(void* context) {
        (*static_cast<Call*>(context))();
    }
    std::weak_ptr<VKContainer> weakContainer() const;
    std::shared_ptr<ChangeStream> changeStream() const;
    std::shared_ptr<ChangeStream> existingChangeStream() const;
    /// Tells the daemon whether the change stream has observers; gives what failed, or none.
    std::exception_ptr handleContainerSubscription(bool subscribed);

    std::unique_ptr<Shared> shared_;
};

using VKContainerPtr = std::shared_ptr<VKContainer>;

}  // namespace velkor
