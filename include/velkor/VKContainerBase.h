#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "velkor/UUID.h"
#include "velkor/VKObjectBase.h"

namespace velkor {

class ParentsOfContainer;
namespace detail {
class ContainerAccess;  // the library's own access to the internals of containers
}

/// The common base of every container: identity, the daemon's revision and the set of parent
/// containers. Two container objects with the same non-zero id are equal; a container whose id
/// is all zeros equals only itself.
class VKContainerBase : public VKObjectBase, public std::enable_shared_from_this<VKContainerBase> {
  public:
    ~VKContainerBase() override;

    /// The container's id, shared with the daemon.
    const UUID& id() const { return id_; }
    /// The daemon's revision of this container; 0 for a container made locally.
    std::int64_t revision() const { return revision_.load(std::memory_order_acquire); }
    /// The number of items; 0 for a proxy.
    virtual std::size_t count() const { return 0; }

    bool equal(const VKObjectBase& other) const override;

  protected:
    explicit VKContainerBase(Kind kind);

  private:
    friend class detail::ContainerAccess;

    UUID id_;
    std::atomic<std::int64_t> revision_{0};
    std::unique_ptr<ParentsOfContainer> parents_;
};

}  // namespace velkor
