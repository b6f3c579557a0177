#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "utils/WeakRef.h"
#include "velkor/UUID.h"

namespace velkor {

class VKContainer;

/// The containers a connection handed out, by (domain, user, path), so that asking twice gives
/// the same object; held weakly. Reached only through `withLock`, which the connection holds
/// across whole openings of settings, requests to the daemon included.
class LookupMapOfContainers {
  public:
    /// The two maps behind the lock.
    class Map {
      public:
        /// Key "<user>@<domain>:<path>", e.g. "501@prefs:" for a root, "501@prefs:net/proxy".
        static std::string fullPathKey(const std::string& domain, std::uint32_t user,
                                       const std::string& path);

        void registerContainer(const std::shared_ptr<VKContainer>& container,
                               const std::string& domain, std::uint32_t user,
                               const std::string& path);
        /// The live container under the key; a dead entry is removed (its id entry stays).
        std::shared_ptr<VKContainer> tryToFindContainerBy(const std::string& domain,
                                                          std::uint32_t user,
                                                          const std::string& path);
        void unregister(const UUID& id);
        /// Removes the entries of a container of this id that is gone; a live container that
        /// holds the id's entries since keeps them.
        void forget(const UUID& id);
        void unregister(const std::string& domain, std::uint32_t user, const std::string& path);

        std::size_t pathCount() const { return mapOfPathToContainer_.size(); }
        std::size_t idCount() const { return mapOfContainerIdToPath_.size(); }

      private:
        // The id is kept beside the weak reference so that removing an entry never has to take
        // a strong reference: dropping the last one inside the lock would run the container's
        // destructor, which unregisters it through this very lock.
        struct Entry {
            WeakRef<VKContainer> container;
            UUID id;
        };

        friend class LookupMapOfContainers;

        std::unordered_map<std::string, Entry> mapOfPathToContainer_;
        std::unordered_map<UUID, std::string> mapOfContainerIdToPath_;
        // Containers the map let go of, released by withLock once the lock is free.
        std::vector<std::shared_ptr<VKContainer>> retired_;
    };

    LookupMapOfContainers() : label_("LookupMapOfContainers") {}

    /// Runs `f(map)` under the lock and returns its result; an exception passes after unlocking.
    /// Not re-entrant.
    template <typename F>
    std::invoke_result_t<F&, Map&> withLock(F&& f) {
        std::vector<std::shared_ptr<VKContainer>> retired;  // destroyed after the lock
        std::lock_guard lock(mutex_);
        OwnerMark mark(owner_);
        Retirement retirement{map_.retired_, retired};
        applyPendingForgets();
        return f(map_);
    }

    /// Forgets the container `id`, which is being destroyed, without ever waiting for the lock:
    /// destructors run while other locks are held (a parent's items lock, say), and an opening
    /// that holds this lock may be waiting for exactly those. When the lock is busy the id is
    /// noted and forgotten by the next holder; the map holds containers weakly, so a dead entry
    /// met meanwhile reads as absent. A path entry that a live container took over is kept.
    void forgetDestroyed(const UUID& id);

    const std::string& label() const { return label_; }

  private:
    // Marks the lock's holder for the duration of one withLock callable.
    struct OwnerMark {
        explicit OwnerMark(std::atomic<std::thread::id>& owner) : owner(owner) {
            owner.store(std::this_thread::get_id(), std::memory_order_release);
        }
        ~OwnerMark() { owner.store(std::thread::id(), std::memory_order_release); }
        std::atomic<std::thread::id>& owner;
    };

    // Hands the containers the map let go of to a variable that outlives the lock.
    struct Retirement {
        std::vector<std::shared_ptr<VKContainer>>& from;
        std::vector<std::shared_ptr<VKContainer>>& to;
        ~Retirement() { to.swap(from); }
    };

    void applyPendingForgets();

    std::string label_;
    std::mutex mutex_;
    Map map_;
    std::atomic<std::thread::id> owner_;
    std::mutex pendingMutex_;
    std::vector<UUID> pendingForgets_;
};

}  // namespace velkor
