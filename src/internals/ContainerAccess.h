#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "utils/KnownThings.h"
#include "velkor/VKArray.h"
#include "velkor/VKContainer.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor {

class InnerConnection;
class VKChangeNotification;
class SerializerBase;
class DeserializerOnClient;
class ParentsOfContainer;
class Refetch;
class ServerOrder;
struct ContainerChangeStream;
enum class ChangeType : std::uint8_t;
enum class ChangeResult : std::uint8_t;
namespace basalt {
class QZLogger;
struct LogFormat;
}  // namespace basalt
namespace dispatch {
class ReadWriteQueue;
}

/// The ids a recursive walk of a tree has visited, so that it enters each container once.
using KnownIds = std::shared_ptr<KnownThings<UUID>>;

/// What a mutation primitive of arrays and dictionaries reports: whether the items changed, and
/// the value that stood at the place before (empty for a new dictionary key).
struct ItemMutation {
    bool changed;
    VKObjectPtr oldValue;
};

/// What differs between the classes of containers in the library's handling of them. Each
/// concrete class installs its table when it is built; an empty entry is the behaviour of a
/// container without items of its own (a proxy): nothing to prefetch, take or apply.
struct ContainerHooks {
    /// Replaces the proxies among the items; called with the write lock held.
    void (*prefetchInnerItems)(VKContainer& self, const KnownIds& known) = nullptr;
    /// With the write lock held: takes the items of `fresh` (of the same class) and gives the
    /// events of the differences.
    std::vector<VKContainerChange> (*takeItemsOf)(VKContainer& self, VKContainer& fresh) = nullptr;
    /// Applies a change that the daemon reports, `path` being the container's path in its
    /// settings file. Empty: the change is ignored.
    void (*handleChangeFromServer)(VKContainer& self, const VKChangeNotification& change,
                                   const std::string& path) = nullptr;
    /// The value `change` carries, decoded on `connection`, or empty for a type that carries
    /// none; throws invalidData for a type the container does not take (always, when empty).
    VKObjectPtr (*decodeChangeValue)(VKContainer& self, const VKChangeNotification& change,
                                     const std::shared_ptr<InnerConnection>& connection) = nullptr;
    /// Applies one reported change with the write lock held and returns the events for the
    /// observers; throws VKError when it does not fit the items (always, when empty).
    std::vector<VKContainerChange> (*applyChangeToItems)(VKContainer& self,
                                                         const VKChangeNotification& change,
                                                         const VKObjectPtr& value) = nullptr;
};

namespace detail {

/// The library's side of the containers: everything the library does with a container that is
/// not for the host to call. It is the one friend of the public container classes, and each
/// operation is defined next to the class whose state it uses.
class ContainerAccess {
  public:
    ContainerAccess() = delete;

    // ---- Identity, revision, root and parents ----------------------------------------------

    /// Only before the container is shared.
    static void setId(VKContainerBase& c, const UUID& id) { c.id_ = id; }
    /// Takes the daemon's revision unchanged.
    static void setRevision(VKContainerBase& c, std::int64_t revision) {
        c.revision_.store(revision, std::memory_order_release);
    }
    /// Under the write lock: takes the daemon's revision when it is ahead of the container's: a
    /// change that the daemon ordered before one of ours and that arrives after it never moves
    /// it back.
    static void raiseRevision(VKContainer& c, std::int64_t revision);
    /// Under the write lock: a dictionary change of `key` to `value` (none: removed) that the
    /// daemon merged at `revision`, which the container reaches later; until then a content
    /// fetched earlier does not undo it.
    static void keepMergedChange(VKContainer& c, std::int64_t revision, std::string key,
                                 VKObjectPtr value);
    static ParentsOfContainer& parents(const VKContainerBase& c) { return *c.parents_; }
    static void setRootId(VKContainer& c, const UUID& rootId);

    /// `value` as a client container (an array, a dictionary or a proxy), or empty for scalars.
    static std::shared_ptr<VKContainer> asClientContainer(const VKObjectPtr& value);
    static std::shared_ptr<VKContainer> sharedContainer(const VKContainer& c) {
        auto self = std::const_pointer_cast<VKContainerBase>(c.shared_from_this());
        return std::static_pointer_cast<VKContainer>(self);
    }

    /// Records `parent` in the parent set of `child` (on the process-wide parents lock); with
    /// checks, refuses cycles (circularReferences) and foreign trees (notTheSameRoot).
    static void addParent(VKContainer& child, const std::shared_ptr<VKContainer>& parent,
                          bool withChecks);
    /// Undoes one addParent of `parent`.
    static void removeParent(VKContainer& child, const VKContainer& parent);

    // ---- Connection ------------------------------------------------------------------------

    static std::shared_ptr<InnerConnection> innerConnection(const VKContainer& c);
    static void setInnerConnection(VKContainer& c, std::shared_ptr<InnerConnection> connection);
    /// Sets the connection and hands back the previous one, for the caller to release where no
    /// lock is held (it may be the last reference).
    static std::shared_ptr<InnerConnection> exchangeInnerConnection(
        VKContainer& c, std::shared_ptr<InnerConnection> connection);
    /// Clears the connection only when it is still `expected`, handing it back (empty when it
    /// was not cleared) for the caller to release where no lock is held.
    static std::shared_ptr<InnerConnection> clearInnerConnectionIf(VKContainer& c,
                                                                   const InnerConnection* expected);
    /// Whether both containers are attached to the very same connection, or both to none.
    static bool sameConnection(const VKContainer& a, const VKContainer& b);

    // ---- Items lock, hooks, events -----------------------------------------------------------

    /// The items lock itself, for the reads of the library's own containers, which take it
    /// inline rather than through the public templates.
    static dispatch::ReadWriteQueue& itemsLock(const VKContainer& c);
    /// "VKContainer_items_" followed by a UUID of the lock's own.
    static std::string itemsLockLabel(const VKContainer& c);
    /// Installs the behaviour of the container's class; `hooks` outlives the container.
    static void setHooks(VKContainer& c, const ContainerHooks& hooks);

    /// The container's change events, made when first asked for.
    static std::shared_ptr<ContainerChangeStream> changeStream(const VKContainer& c);
    /// Lets go of `ended`, a change stream that a failed report ended, when it is still the
    /// container's: the next observer gets a new one.
    static void dropChangeStream(const VKContainer& c, const ContainerChangeStream* ended);
    /// Delivers `change` to the observers later, through `via`'s scheduler, in posting order.
    /// Observers subscribed when it is delivered receive it, even if the container is gone by
    /// then.
    static void postChangeNotification(VKContainer& c, VKContainerChange change,
                                       InnerConnection& via);

    // ---- Prefetching and the daemon's reports ------------------------------------------------

    /// Visits the container once per walk (`known` collects the visited ids; without it the
    /// container is always visited) and replaces the proxies among its items.
    static void prefetchContentInternal(VKContainer& c, const KnownIds& known);
    /// The class's prefetchInnerItems hook, with the write lock held.
    static void prefetchInnerItems(VKContainer& c, const KnownIds& known);

    /// Takes the content and revision of `fresh`, a copy of `c` that was just decoded from the
    /// daemon and is shared with nobody, unless `c` already stands at a later revision;
    /// observers get the events of the differences.
    static void adoptContentOf(VKContainer& c, VKContainer& fresh);

    /// Applies a change that the daemon reports (another client's change), `path` being the
    /// container's path in its settings file. Throws VKError when it cannot be applied.
    static void handleChangeFromServer(VKContainer& c, const VKChangeNotification& change,
                                       const std::string& path);
    /// The daemon's order of the container's changes ("values/client/ServerOrder.h").
    static ServerOrder& serverOrder(VKContainer& c);
    /// How the container is fetched again while out of step ("values/client/Refetch.h"),
    /// made on first use; refetchIfAny gives none for a container that was never out of step.
    static Refetch& refetch(VKContainer& c);
    static Refetch* refetchIfAny(VKContainer& c);

    /// Fetches the container anew after the daemon stopped holding it for this client (it then
    /// tells us nothing more of it until we fetch it): the container takes the daemon's content
    /// and revision, and its observers get the events of the differences; it stays the same
    /// object, wherever it is held. The daemon's reports that follow the fetch wait for it. When
    /// that fails, the container is marked out of step: its changes fail (see requireInStep)
    /// with containerNotFound when the daemon no longer has it, else connectionLost, and then it
    /// is tried again in the background after a pause (see Refetch), until it has the daemon's
    /// content. With `path`, the container's path in its file, and when the content taken
    /// differed, its root then posts didDescendantChange at that path, as for a change record.
    static void bringBack(VKContainer& c, InnerConnection& connection,
                          const std::string* path = nullptr);
    /// Marks an attached container out of step and brings it back later, on the thread that
    /// handles the daemon's pushes (unless a change of the caller brought it back first): for a
    /// copy known to lack changes the daemon made, when the caller may not wait for the fetch.
    static void bringBackLater(VKContainer& c);
    /// Brings `c` back on the thread that handles the daemon's pushes, `delay` from now, unless
    /// it is in step by then or a retry is scheduled already (one at a time); tries again after a
    /// pause while the daemon does not answer in time and the container is still attached.
    static void scheduleBringBack(const std::shared_ptr<VKContainer>& c,
                                  InnerConnection& connection, std::chrono::milliseconds delay);
    /// Before a change of a container is made: an attached container marked out of step is
    /// brought back first, and while that fails the change fails with the mark's error; nothing
    /// is changed then. During the pause after a request about it that the daemon left
    /// unanswered, the change fails so at once, without a fetch: the retry in the background
    /// brings it back. Does nothing for a container in step (one atomic load), nor for one
    /// detached since (its file was deleted), whose changes stay local.
    static void requireInStep(VKContainer& c);
    /// Marks the container out of step with `error`, or in step again without one.
    static void setOutOfStep(VKContainer& c, std::optional<VKError> error);
    static std::optional<VKError> outOfStep(const VKContainer& c);
    /// The class's decodeChangeValue hook; throws invalidData for a class without one.
    static VKObjectPtr decodeChangeValue(VKContainer& c, const VKChangeNotification& change,
                                         const std::shared_ptr<InnerConnection>& connection);
    /// The class's applyChangeToItems hook; throws invalidData for a class without one.
    static std::vector<VKContainerChange> applyChangeToItems(VKContainer& c,
                                                             const VKChangeNotification& change,
                                                             const VKObjectPtr& value);
    /// The handling of the daemon's reports that arrays and dictionaries share: decodes the
    /// value the record carries (the decodeChangeValue hook), then, under the write lock,
    /// applies it (applyChangeToItems) and takes its revision, in the daemon's order: while one
    /// of this client's own changes is in flight, a record that the daemon ordered after it
    /// waits for it. The events go to the observers, and the root learns of the change at
    /// `path`.
    static void applyChangeFromServer(VKContainer& c, const VKChangeNotification& change,
                                      const std::string& path);

    // ---- Changes sent to the daemon ----------------------------------------------------------

    /// The first half of every change sent to the daemon: builds the record of one change of
    /// `c` (its id and current revision with the given fields), publishes it through
    /// `connection`, logs `resultMessage` followed by the result's case name and the new
    /// revision at debug level through `logger` (as written where `resultMessage` was, so the
    /// line names the caller's function), and returns the daemon's verdict and the new
    /// revision. Errors of the publication propagate; nothing is changed here, applying the
    /// verdict is the caller's, except that a change whose outcome is not known (connectionLost:
    /// the daemon may have taken it) marks the container out of step, so that it is fetched
    /// again before its next change.
    static std::pair<ChangeResult, std::int64_t> exchangeChange(
        VKContainer& c, InnerConnection& connection, ChangeType type, std::int64_t from,
        std::int64_t to, std::string key, std::vector<std::uint8_t> data,
        const basalt::QZLogger& logger, const basalt::LogFormat& resultMessage);

    /// Runs `exchange`, the sending of a change already made locally, and passes its result on.
    /// When it throws, the daemon did not take the change, or may not have (connectionLost: no
    /// answer), so `undo` puts the local copy back before the error passes on; exchangeChange
    /// has marked the container out of step when the outcome is not known.
    template <typename Exchange>
    static std::invoke_result_t<Exchange&> undoneUnlessAccepted(const std::function<void()>& undo,
                                                                Exchange&& exchange) {
        try {
            return exchange();
        } catch (...) {
            undo();
            throw;
        }
    }

    /// removeAll of arrays and dictionaries: when attached, asks the daemon to remove every
    /// entry (throwing synchronizeConflict, logged as `conflictMessage` with the id, or the
    /// connection's errors, with nothing removed); then runs `clear` under the write lock and,
    /// when the daemon answered done, takes the new revision.
    static void removeAllEntries(VKContainer& c, const std::function<void()>& clear,
                                 const basalt::QZLogger& logger,
                                 const basalt::LogFormat& resultMessage,
                                 const basalt::LogFormat& conflictMessage);

    // ---- Encoding and decoding ---------------------------------------------------------------

    /// Writes the container into `serializer`: as a reference (kind 5 and id) when it is
    /// attached to a connection, is a proxy, or was written before in the same blob; otherwise
    /// in full, under its read lock.
    static void serialize(const VKContainer& c, SerializerBase& serializer);
    /// Writes every item (the header with their count comes first).
    static void serializeInnerItems(const VKArrayBase& array, SerializerBase& serializer);
    /// Writes every key followed by its value (the header with their count comes first).
    static void serializeInnerItems(const VKDictionaryBase& dictionary, SerializerBase& serializer);

    /// Decodes an array whose kind item has been read; none (logged) when the blob does not
    /// hold one.
    static std::shared_ptr<VKArray> decodeArray(DeserializerOnClient& decoder);
    /// Decodes a dictionary whose kind item has been read; none (logged) when the blob does not
    /// hold one. A key that occurs twice keeps the later value.
    static std::shared_ptr<VKDictionary> decodeDictionary(DeserializerOnClient& decoder);

    // ---- The mutation primitives of the array and dictionary bases -----------------------------
    // They run under the write lock of the items; they take the parents lock once per child
    // attached or detached.

    /// Stores `value` at `index` (which must be below the item count; not checked). Storing the
    /// very object already there, or an equal value, changes nothing: the old value stays. A
    /// container placed here is attached with the root and cycle checks (whose VKError leaves
    /// everything unchanged) and the one it replaces is detached. A proxy replaced by the
    /// container it was resolved into moves its place to it without the checks and without
    /// reporting a change.
    static ItemMutation setInternal(VKArrayBase& array, std::size_t index, VKObjectPtr value);
    /// Detaches every child that is a container, in order, and empties the items.
    static void removeAllInternal(VKArrayBase& array);

    /// Stores `value` under `key`. A new key is always a change, with no old value. For a key
    /// that is there the rules of the array's setInternal apply. A container placed here is
    /// attached with the root and cycle checks, whose VKError leaves everything unchanged.
    static ItemMutation setInternal(VKDictionaryBase& dictionary, const std::string& key,
                                    VKObjectPtr value);
    /// Removes the value under `key` and detaches it; no change and no old value when the key is
    /// not there.
    static ItemMutation removeInternal(VKDictionaryBase& dictionary, const std::string& key);
    /// Detaches every child that is a container and empties the items.
    static void removeAllInternal(VKDictionaryBase& dictionary);
    /// The entry whose key is `key` or canonically equivalent to it, or the end.
    static VKDictionaryBase::Items::iterator findItem(VKDictionaryBase& dictionary,
                                                      const std::string& key);
    static VKDictionaryBase::Items::const_iterator findItem(const VKDictionaryBase& dictionary,
                                                            const std::string& key) {
        return findItem(const_cast<VKDictionaryBase&>(dictionary), key);
    }
    /// Stores a decoded `value` under `key`, attached without checks; an entry of an equivalent
    /// key takes the value (the later one wins) and keeps its key.
    static void putDecoded(VKDictionaryBase& dictionary, std::string key, VKObjectPtr value);
    /// Gives `dictionary` every entry of `other`, which is left empty; the entries of
    /// `dictionary` must have been removed before. The children's parent sets are the caller's.
    static void moveItemsFrom(VKDictionaryBase& dictionary, VKDictionaryBase& other);

    /// The hooks of the client array and dictionary, which their constructors install.
    static const ContainerHooks arrayHooks;
    static const ContainerHooks dictionaryHooks;

  private:
    // The hooks of the client array and dictionary.
    static void prefetchArrayItems(VKArray& array, const KnownIds& known);
    static std::vector<VKContainerChange> takeArrayItems(VKArray& array, VKArray& fresh);
    static VKObjectPtr decodeArrayChange(const VKChangeNotification& change,
                                         const std::shared_ptr<InnerConnection>& connection);
    static std::vector<VKContainerChange> applyArrayChange(VKArray& array,
                                                           const VKChangeNotification& change,
                                                           const VKObjectPtr& value);
    static void prefetchDictionaryItems(VKDictionary& dictionary, const KnownIds& known);
    static std::vector<VKContainerChange> takeDictionaryItems(VKDictionary& dictionary,
                                                              VKDictionary& fresh);
    static VKObjectPtr decodeDictionaryChange(const VKChangeNotification& change,
                                              const std::shared_ptr<InnerConnection>& connection);
    static std::vector<VKContainerChange> applyDictionaryChange(VKDictionary& dictionary,
                                                                const VKChangeNotification& change,
                                                                const VKObjectPtr& value);
};

}  // namespace detail
}  // namespace velkor
