#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "internals/ContainerAccess.h"
#include "values/ContainerProxyBase.h"

namespace velkor {

class DeserializerOnClient;

/// A container that a daemon blob referred to by id without its content. It stands in its
/// parents' items until it is read or prefetched; then it asks the connection for the real
/// container, once, keeps it, and the parent puts the real container in its place.
///
/// Leaving the registry: a proxy that is destroyed removes the registry's entry for its id only
/// while that entry is still the proxy itself. The real container it was resolved into is
/// registered under the same id and stays registered and attached.
class ContainerProxy final : public ContainerProxyBase {
    struct Private {};

  public:
    explicit ContainerProxy(Private) {}
    ~ContainerProxy() override;

    /// The value that a reference in a daemon blob stands for: the container registered under
    /// the decoded id on the decoder's connection (the real container when that is a resolved
    /// proxy), else a new proxy, registered. Logs and gives none when the id cannot be read.
    static VKObjectPtr deserialize(DeserializerOnClient& decoder);

    /// The real container. The first call takes the one registered under the proxy's id when
    /// that is a real container (it came in full since the proxy was made), else asks the
    /// connection for it (with everything below it when `known` is given), and keeps it; later
    /// calls give the kept one. A kept or registered container is walked with `known` when
    /// given. Concurrent first calls send one request. Throws connectionLost without a
    /// connection, and passes on the errors of the request (the proxy then stays unresolved)
    /// and of the walk.
    std::shared_ptr<VKContainer> obtainRealContainer(const KnownIds& known);

    /// "prx(id=...)".
    std::string description() const override;

  private:
    std::mutex resolving_;  // held while the real container is asked for
};

}  // namespace velkor
