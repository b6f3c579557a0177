#pragma once

#include <memory>

#include "channel/VirtualChannelToServer.h"

namespace velkor {

/// A transport to the settings daemon, as the connection sees it: the in-process channel whose
/// far side the transport serves. The transport closes when the client completes the channel or
/// when it loses the daemon; then the channel's events complete.
class ConnectionToServer {
  public:
    virtual ~ConnectionToServer() = default;
    virtual std::shared_ptr<VirtualChannelToServer> virtualChannel() = 0;
};

}  // namespace velkor
