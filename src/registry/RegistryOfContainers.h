#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "utils/WeakRef.h"
#include "velkor/UUID.h"

namespace velkor {

class VKContainer;
class VKContainerBase;
class InnerConnection;

/// The live containers of one connection by id. Holds them weakly; registering a container
/// attaches it to the connection (sets its innerConnection), unregistering detaches it. Every
/// operation is atomic with respect to the others; none calls back into the registry, and none
/// releases a container or a connection while holding the lock: their destructors call back.
class RegistryOfContainers {
  public:
    RegistryOfContainers();
    ~RegistryOfContainers();
    RegistryOfContainers(const RegistryOfContainers&) = delete;
    RegistryOfContainers& operator=(const RegistryOfContainers&) = delete;

    /// The connection that registered containers are attached to; set by the connection as the
    /// last step of its construction.
    void setConnection(const std::weak_ptr<InnerConnection>& connection);

    /// Registers `container` under its id, replacing any entry, and attaches it.
    void registerContainer(const std::shared_ptr<VKContainer>& container);
    /// Registers every container of the map under its key and attaches each, in one step. With
    /// a `holder`, only while the holder is itself registered here (a container detached
    /// meanwhile takes no new attached children); false when nothing was registered for that.
    bool registerContainers(
        const std::unordered_map<UUID, std::shared_ptr<VKContainer>>& containers,
        const VKContainer* holder = nullptr);
    /// In one step: the live container registered under the id of `container`, or, when there
    /// is none (or only a proxy and `overProxy` is set), `container` registered and attached.
    /// Two decoders meeting the same new id at once therefore agree on one object. When it
    /// registers `container`, `missed` (if given) gets the latest revision of the daemon's
    /// reports about the id that found no container (see findForReport), else 0.
    std::shared_ptr<VKContainer> findOrRegister(const std::shared_ptr<VKContainer>& container,
                                                bool overProxy, std::int64_t* missed = nullptr);
    /// The live container registered under `id`, or empty. A dead entry stays.
    std::shared_ptr<VKContainer> tryFind(const UUID& id);
    /// tryFind for a report of the daemon's, of `revision`, about `id`. When no container is
    /// registered, the report is remembered as missed, in the same step: the daemon reports on
    /// a container right after the answer that sent it, which the caller may not have decoded
    /// yet, and the container registered from that answer then knows it missed a report.
    /// The latest `kMissedKept` ids are remembered.
    std::shared_ptr<VKContainer> findForReport(const UUID& id, std::int64_t revision);

    static constexpr std::size_t kMissedKept = 1024;
    /// Removes the entry for `id`; a live container still attached to this registry's connection
    /// is detached. One attached elsewhere keeps its connection.
    void unregister(const UUID& id);
    /// Removes the entry for `id` only while it is `container` (compared by ownership, so this
    /// works for a container that is being destroyed), detaching the container as unregister()
    /// does; true when it did. A different container registered under the id since keeps its
    /// entry.
    bool unregisterIfSame(const UUID& id, const std::weak_ptr<const VKContainerBase>& container);
    /// Removes every live container of the root `rootId` and returns them (in no particular
    /// order); those attached to this registry's connection are detached.
    std::vector<std::shared_ptr<VKContainer>> unregisterHavingRootId(const UUID& rootId);
    /// Forgets every entry; the containers keep their connection.
    void shutdown();

    const std::string& label() const { return lock_.label(); }

  private:
    // The connection's address while it is alive, for identity comparisons only.
    InnerConnection* liveConnectionIdentity() const;

    std::weak_ptr<InnerConnection> connection_;
    InnerConnection* connectionIdentity_ = nullptr;
    std::unordered_map<UUID, WeakRef<VKContainer>> idsToContainers_;
    // The latest revision of the reports that found no container, by id, and the ids in the
    // order they were first missed, for forgetting the oldest.
    std::unordered_map<UUID, std::int64_t> missed_;
    std::deque<UUID> missedOrder_;
    dispatch::SerialQueue lock_;
};

}  // namespace velkor
