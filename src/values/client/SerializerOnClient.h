#pragma once

#include <memory>

#include "values/SerializerBase.h"

namespace velkor {

class InnerConnection;
class VKContainer;

/// The encoder of the values the library sends: a new settings tree, or the value of one change.
/// Containers already on the daemon travel as references; new ones in full, once each.
class SerializerOnClient final : public SerializerBase {
  public:
    /// After the daemon accepted the blob: every container written in full takes `rootId` and
    /// is registered with (attached to) `connection`. With a `holder`, only while the holder
    /// is itself still registered there: values placed into a container that was detached
    /// meanwhile stay local with it.
    void registerContainers(const UUID& rootId, InnerConnection& connection,
                            const VKContainer* holder = nullptr);
};

}  // namespace velkor
