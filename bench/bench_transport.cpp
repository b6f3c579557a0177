// A synchronous request through the library's transport to the daemon and back, against a
// minimal echo server on a private dbus-daemon, next to the bare sd-bus exchange of the same
// shape measured in the same run on the same bus. Each figure as median and p99 latency in
// microseconds:
//   BM_BareSdBusPingPong   sd-bus alone: a one-way call answered by a signal addressed to the
//                          caller (setHasSubscriptionWithTag / requestSucceededWithTag);
//   BM_TransportRoundTrip  the same exchange through VirtualChannelSyncAdapter::sync and
//                          XpcChannelToServer: the caller's thread sends under the transport's
//                          loop lock and waits; the transport's loop thread takes the answer
//                          signal, checks its sender and emits it to the waiting caller.
// JSON as well as the table:
//   bench_transport --benchmark_out=transport.json --benchmark_out_format=json
// On a small virtual machine, thread wake-ups dominate and unpinned figures jump between runs;
// pinned to one CPU (`taskset -c 0 bench_transport`) they are steadier. Compare figures taken
// the same way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "BusPingPong.h"
#include "EchoServer.h"
#include "LatencyReport.h"
#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/XpcChannelToServer.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "support/PrivateBus.h"

using namespace velkor;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

/// One bus for every benchmark of the run.
test::PrivateBus& sharedBus() {
    static test::PrivateBus bus;
    return bus;
}

void BM_BareSdBusPingPong(benchmark::State& state) {
    test::BusPingPong pingPong(sharedBus().address(), "org.velkor.PingPong");
    std::vector<double> micros;
    for (auto _ : state) {
        auto elapsed = pingPong.roundTrip();
        micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_TransportRoundTrip(benchmark::State& state) {
    bench::EchoServer server(sharedBus().address(), kService);
    auto transport = XpcChannelToServer::make(kService, sharedBus().address());
    auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
        transport->virtualChannel(), std::chrono::seconds(5));
    const ClientRequest request = ClientRequest::SetHasSubscription{UUID::random(), true};
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto answer = adapter->sync(request);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        if (!answer.get<ServerResponse::RequestSucceeded>()) {
            state.SkipWithError("unexpected answer");
            break;
        }
    }
    velkor::bench::reportLatency(state, micros);
}

}  // namespace

BENCHMARK(BM_BareSdBusPingPong)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransportRoundTrip)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);
