#include "fleet/EtcdCalls.h"

namespace velkor::fleet {

bool connectMember(EtcdChannels& channels, std::size_t index, EtcdDeadline deadline) {
    const auto& channel = channels.channel(index);
    const auto limit =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    auto state = channel->GetState(true);
    while (state != GRPC_CHANNEL_READY) {
        if (state == GRPC_CHANNEL_TRANSIENT_FAILURE || state == GRPC_CHANNEL_SHUTDOWN)
            return false;
        if (!channel->WaitForStateChange(state, toSystemDeadline(limit)))
            return false;
        state = channel->GetState(true);
    }
    return true;
}

}  // namespace velkor::fleet
