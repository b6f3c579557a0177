#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "dispatch/SerialQueue.h"
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

        std::unordered_map<std::string, Entry> mapOfPathToContainer_;
        std::unordered_map<UUID, std::string> mapOfContainerIdToPath_;
    };

    LookupMapOfContainers() : lock_("LookupMapOfContainers") {}

    /// Runs `f(map)` under the lock and returns its result; an exception passes after unlocking.
    /// Not re-entrant.
    template <typename F>
    std::invoke_result_t<F&, Map&> withLock(F&& f) {
        return lock_.sync([&]() -> decltype(auto) { return f(map_); });
    }

    const std::string& label() const { return lock_.label(); }

  private:
    Map map_;
    dispatch::SerialQueue lock_;
};

}  // namespace velkor
