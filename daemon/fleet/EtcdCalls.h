#pragma once

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "fleet/EtcdChannels.h"
#include "fleet/EtcdClient.h"
#include "fleet/EtcdError.h"
#include "fleet/EtcdStatus.h"

namespace velkor::fleet {

/// Whether the channel to member `index` is connected, or connects within a second (and before
/// `deadline`). A member that refuses connections is given up at once.
bool connectMember(EtcdChannels& channels, std::size_t index, EtcdDeadline deadline);

/// Runs one unary call with fail-over: `attempt(channel, context)` sends the request to one
/// member and returns gRPC's status. Members are tried from the preferred one on; the first
/// that answers becomes the preferred one. A member that cannot be reached or has no leader
/// passes the call to the next, and a round without an answer is followed by another after a
/// short pause (an election may be under way) until `deadline`; with `EtcdRetry::oneRound` the
/// call fails after the first round instead. A `mutation` is sent only over a connected channel
/// and, once sent, never again, unless the member refused it unapplied. A rejected token is
/// renewed once. A member that fails a call as unreachable, or lets its deadline pass, stops
/// being the preferred one.
/// Throws EtcdError for every failure.
template <class Attempt>
void callWithFailover(EtcdChannels& channels, const std::string& what, bool mutation,
                      EtcdDeadline deadline, EtcdRetry retry, Attempt&& attempt) {
    // The latest failure of each member, for the error when none serves the call in time.
    std::vector<std::string> failures(channels.size(), "not tried");
    auto describe = [&] {
        std::string text;
        for (std::size_t i = 0; i < failures.size(); ++i)
            text += (i ? "; " : "") + channels.endpoint(i) + ": " + failures[i];
        return text;
    };
    for (;;) {
        const std::size_t first = channels.preferred();
        for (std::size_t k = 0; k < channels.size(); ++k) {
            // Every attempt so far surely applied nothing (any other failure has thrown).
            if (std::chrono::steady_clock::now() >= deadline)
                throw EtcdError(
                    EtcdError::Kind::unavailable,
                    what + ": no etcd member could serve it in time (" + describe() + ")");
            const std::size_t index = (first + k) % channels.size();
            const std::string& endpoint = channels.endpoint(index);
            if (mutation && !connectMember(channels, index, deadline)) {
                failures[index] = "not connected";
                continue;
            }
            for (bool renewed = false;;) {
                grpc::ClientContext context;
                context.set_deadline(toSystemDeadline(deadline));
                std::string token;
                try {
                    token = channels.prepare(context, index, deadline);
                } catch (const EtcdError& error) {
                    // A member that left the authentication unanswered until the deadline (as
                    // etcd 3.4 does for seconds after an election, when it dropped a read index
                    // request) is not where the next call should start either.
                    if (error.kind() == EtcdError::Kind::timeout)
                        channels.prefer((index + 1) % channels.size());
                    if (error.kind() != EtcdError::Kind::unavailable)
                        throw;
                    failures[index] = error.what();
                    break;
                }
                const grpc::Status status = attempt(channels.channel(index), context);
                if (status.ok()) {
                    channels.prefer(index);
                    return;
                }
                if (!renewed && channels.authenticates() && tokenRejected(status)) {
                    channels.dropToken(token);
                    renewed = true;
                    continue;
                }
                if (status.error_code() == grpc::StatusCode::UNAVAILABLE &&
                    (!mutation || refusedUnapplied(status))) {
                    failures[index] = status.error_message();
                    break;
                }
                // A member whose connection broke under the call, or that left it unanswered
                // until its deadline, is not where the next call should start, whatever this
                // one's outcome: a hung member keeps its connection until keepalive gives up on
                // it (15 s), and each call sent there meanwhile would wait out its deadline.
                if (status.error_code() == grpc::StatusCode::UNAVAILABLE ||
                    status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED)
                    channels.prefer((index + 1) % channels.size());
                throw errorOf(status, what + " at " + endpoint, mutation);
            }
        }
        if (retry == EtcdRetry::oneRound)
            throw EtcdError(EtcdError::Kind::unavailable,
                            what + ": no etcd member could serve it (" + describe() + ")");
        std::this_thread::sleep_until(
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
    }
}

}  // namespace velkor::fleet
