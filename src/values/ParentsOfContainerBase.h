#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "utils/WeakRef.h"
#include "velkor/UUID.h"

namespace velkor {

class VKContainer;
class VKContainerBase;

/// The set of containers that hold one container, kept weakly so that children never keep
/// their parents alive, and the two rules checked before a container is placed into another:
/// the same settings root (and connection), and no cycles.
///
/// Every operation must run on the process-wide parents lock (`lock()`), which serialises all
/// parent sets of the process, so that an ancestor walk sees one consistent graph. The lock is
/// not re-entrant.
///
/// A parent that holds the child in several places (two keys, two indexes) has one entry that
/// counts its placements: the entry goes away only when the last placement is undone, so a
/// parent that still holds the child is always found by the walks.
class ParentsOfContainerBase {
  public:
    /// Strong references taken while on the parents lock. The caller releases them after
    /// leaving the lock: dropping the last reference to a container there would run its
    /// destructor, which detaches its children on the same lock.
    using Retained = std::vector<std::shared_ptr<VKContainer>>;

    /// The process-wide lock of all parent sets, labelled "ParentsOfContainer".
    static dispatch::SerialQueue& lock();

    ParentsOfContainerBase() = default;
    virtual ~ParentsOfContainerBase() = default;
    ParentsOfContainerBase(const ParentsOfContainerBase&) = delete;
    ParentsOfContainerBase& operator=(const ParentsOfContainerBase&) = delete;

    /// Records one placement of `child` (whose set this is) into `parent`. With checks, first
    /// makes sure both belong to the same root (a child without a root adopts the parent's, and
    /// keeps it even when the next check fails) and that `parent` is neither `child` nor one of
    /// its descendants; throws notTheSameRoot or circularReferences and records nothing then.
    void addParent(const std::shared_ptr<VKContainer>& parent, VKContainer& child, bool withChecks,
                   Retained& retained);

    /// Undoes one placement into the parent with id `id` (nothing when there is none); returns
    /// how many parent entries are left, dead ones included.
    std::size_t removeParent(const UUID& id);

    /// The parents that still exist, by id, and those of the proxy this container was resolved
    /// from (one level). The map, like `retained`, must be released after leaving the lock.
    std::unordered_map<UUID, std::shared_ptr<VKContainer>> getAllParents(Retained& retained) const;

    /// Whether `candidate` is one of the ancestors of `container` (through parents and resolved
    /// proxies). Takes the parents lock: the caller must not hold it.
    static bool isAncestor(const VKContainer& candidate, VKContainer& container);

    /// How many parent entries there are, dead ones included.
    std::size_t count() const { return parents_.size(); }

    /// The proxy that was resolved into this container, while it exists.
    std::weak_ptr<VKContainer> proxy() const { return proxy_; }
    void setProxy(std::weak_ptr<VKContainer> proxy) { proxy_ = std::move(proxy); }
    /// Forgets the proxy link when it refers to `proxy` (compared by ownership, so it works for
    /// a proxy that is being destroyed); true when it did.
    bool clearProxyIf(const std::weak_ptr<const VKContainerBase>& proxy);

  protected:
    /// Throws notTheSameRoot when `child` may not be placed into `parent` because they belong
    /// to different settings roots or connections; a child without a root adopts the parent's.
    virtual void ensureTheSameRoot(VKContainer& child, const VKContainer& parent) = 0;

  private:
    struct Entry {
        UUID id;
        WeakRef<VKContainer> parent;
        std::uint32_t placements;
    };

    /// Throws circularReferences when `target` is `start` or one of its ancestors, through
    /// parents and through resolved proxies' parents, visiting each container id once.
    static void throwIfContainerIsOurAncestor(VKContainer& start, const VKContainer& target,
                                              Retained& retained);

    std::weak_ptr<VKContainer> proxy_;
    std::vector<Entry> parents_;  // few entries per container: a flat map is smallest and fastest
};

}  // namespace velkor
