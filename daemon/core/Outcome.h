#pragma once

#include <string>
#include <vector>

#include "internals/ServerResponse.h"

namespace velkor::daemon {

/// Change records to push to one client, as one `noteChanges` message.
struct Notice {
    std::string clientId;
    ServerResponse::NoteChanges changes;
};

/// What one request leads to: the answer for its sender, then the notices for other clients (and
/// for the sender itself where a record is due to it), to be sent in this order after the answer.
struct Outcome {
    ServerResponse answer;
    std::vector<Notice> notices;
};

}  // namespace velkor::daemon
