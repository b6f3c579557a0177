#pragma once

#include <grpcpp/grpcpp.h>

#include <string>

#include "fleet/EtcdError.h"

namespace velkor::fleet {

/// Whether a failed call surely changed nothing: it found no connection to go out on, or the
/// member refused it before proposing it (it has no leader), so that a change may be sent to
/// another member without risk of applying it twice.
bool refusedUnapplied(const grpc::Status& status);

/// Whether etcd rejected the call's authentication token (it expired, or the member lost it),
/// so that authenticating anew and calling again may succeed.
bool tokenRejected(const grpc::Status& status);

/// The error for a failed call; `what` names the call, `mutation` says whether it changes the
/// store (then a failure after the request left may have committed).
EtcdError errorOf(const grpc::Status& status, const std::string& what, bool mutation);

}  // namespace velkor::fleet
