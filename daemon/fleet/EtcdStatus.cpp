#include "fleet/EtcdStatus.h"

namespace velkor::fleet {

namespace {

bool mentions(const grpc::Status& status, const char* text) {
    return status.error_message().find(text) != std::string::npos;
}

}  // namespace

bool refusedUnapplied(const grpc::Status& status) {
    // gRPC says "failed to connect" when the call found no connection to go out on.
    return status.error_code() == grpc::StatusCode::UNAVAILABLE &&
           (mentions(status, "failed to connect to all addresses") ||
            mentions(status, "etcdserver: no leader") ||
            mentions(status, "etcdserver: not capable") ||
            mentions(status, "etcdserver: unhealthy cluster"));
}

bool tokenRejected(const grpc::Status& status) {
    return status.error_code() == grpc::StatusCode::UNAUTHENTICATED ||
           (status.error_code() == grpc::StatusCode::INVALID_ARGUMENT &&
            mentions(status, "invalid auth token"));
}

EtcdError errorOf(const grpc::Status& status, const std::string& what, bool mutation) {
    using Kind = EtcdError::Kind;
    const std::string message = what + ": " + status.error_message();
    switch (status.error_code()) {
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            return EtcdError(Kind::timeout, message, mutation);
        case grpc::StatusCode::UNAVAILABLE:
        case grpc::StatusCode::CANCELLED:
            return EtcdError(Kind::unavailable, message, mutation && !refusedUnapplied(status));
        case grpc::StatusCode::OUT_OF_RANGE:
            if (mentions(status, "compacted"))
                return EtcdError(Kind::compacted, message);
            return EtcdError(Kind::rejected, message);
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
            if (mentions(status, "database space exceeded"))
                return EtcdError(Kind::full, message);
            return EtcdError(Kind::rejected, message);
        case grpc::StatusCode::UNAUTHENTICATED:
        case grpc::StatusCode::PERMISSION_DENIED:
            return EtcdError(Kind::denied, message);
        case grpc::StatusCode::INVALID_ARGUMENT:
        case grpc::StatusCode::FAILED_PRECONDITION:
            if (mentions(status, "auth") || mentions(status, "user name"))
                return EtcdError(Kind::denied, message);
            return EtcdError(Kind::rejected, message);
        case grpc::StatusCode::UNKNOWN:
            // etcd before 3.5 answers a request whose deadline passed while it waited (for a
            // leader, for its proposal to commit) with the context's error as UNKNOWN: a time-out,
            // after which a change may still commit, not a refusal.
            if (mentions(status, "context deadline exceeded"))
                return EtcdError(Kind::timeout, message, mutation);
            if (mentions(status, "context canceled"))
                return EtcdError(Kind::unavailable, message, mutation);
            return EtcdError(Kind::rejected, message);
        default:
            return EtcdError(Kind::rejected, message);
    }
}

}  // namespace velkor::fleet
