#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "internals/ServerResponse.h"

namespace velkor::daemon {

/// Change records to push to one client, as one `noteChanges` message.
struct Notice {
    std::string clientId;
    ServerResponse::NoteChanges changes;
};

/// About the size of the message that carries `response`: its blob, or its records' values, keys
/// and paths, and a little for the rest. Used to bound what is sent and what waits to be sent.
inline std::size_t messageBytes(const ServerResponse& response) {
    constexpr std::size_t kFixed = 256;
    if (const auto* fetched = response.get<ServerResponse::SettingsFetched>())
        return kFixed + fetched->data.size();
    std::size_t bytes = kFixed;
    if (const auto* notes = response.get<ServerResponse::NoteChanges>()) {
        for (const auto& record : notes->changeNotifications)
            bytes += kFixed + record->data.size() + record->key.size();
        for (const auto& path : notes->changePaths)
            bytes += path.size();
    }
    return bytes;
}

/// What one request leads to: the answer for its sender, then the notices for other clients (and
/// for the sender itself where a record is due to it), to be sent in this order after the answer.
struct Outcome {
    ServerResponse answer;
    std::vector<Notice> notices;
};

}  // namespace velkor::daemon
