#pragma once

#include <cstddef>
#include <vector>

#include "core/ClientHoldings.h"
#include "core/Outcome.h"

namespace velkor::daemon {

/// Keeps every notice within `maxBytes` (as `messageBytes` counts it), the most a client is sent
/// in one message: a notice that would pass it is replaced by a `containerAbandoned` record for
/// each container it was about (with the container's path), and its client stops holding them (in
/// `holdings`, inside the transaction that made the notices). The client then drops its copies,
/// which it may fetch again, rather than miss a change or be sent more than the bus carries.
void fitNotices(std::vector<Notice>& notices, std::size_t maxBytes, ClientHoldings& holdings);

}  // namespace velkor::daemon
