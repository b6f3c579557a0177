#pragma once

#include <memory>
#include <string>

#include "internals/InnerConnection.h"
#include "velkor/VKContainer.h"

namespace velkor {

namespace basalt {
class QZLogger;
}

/// The steps that arrays and dictionaries share when they apply a change record of the daemon.
class ServerChangeSteps {
  public:
    ServerChangeSteps() = delete;

    /// The connection `container` is attached to; throws connectionLost when it has none.
    static std::shared_ptr<InnerConnection> requireConnection(const VKContainer& container);

    /// The value the record carries, decoded on `connection` (containers inside it are
    /// registered there). Logs "Can't decode object." through `logger` and throws invalidData
    /// when there is none.
    static VKObjectPtr decodeValue(const VKChangeNotification& change,
                                   const std::shared_ptr<InnerConnection>& connection,
                                   const basalt::QZLogger& logger);

    /// Applies the record types that every container takes alike and returns true, or returns
    /// false for any other type. updateRevision takes the record's revision; containerDeleted
    /// takes it too, then detaches `container` from `connection` (the daemon no longer has it)
    /// and posts didDelete; containerAbandoned fetches the container again (see
    /// ContainerAccess::bringBack). The root then learns of the change at `path` (see
    /// notifyRoot); after containerAbandoned only when the content fetched differed.
    static bool applyToAnyContainer(VKContainer& container, const VKChangeNotification& change,
                                    const std::string& path, InnerConnection& connection);

    /// Whether the record carries nothing a container could apply: descendantChanged and
    /// childrenReplaced, which the daemon does not send. Such records are ignored.
    static bool carriesNothing(const VKChangeNotification& change);

    /// Tells the root of `container`, when it is registered on `connection` and is not the
    /// container itself, that a descendant at `path` changed.
    static void notifyRoot(VKContainer& container, const std::string& path,
                           InnerConnection& connection);
};

}  // namespace velkor
