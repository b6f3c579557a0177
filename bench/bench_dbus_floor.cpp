// The floor of every request the library makes to the daemon: a one-way method call answered by
// a signal addressed to the caller, through a private dbus-daemon that the benchmark starts and
// stops itself. Two figures, each as median and p99 latency in microseconds:
//   BM_BareSdBusPingPong  sd-bus alone, nothing of Velkor in between (the floor that end-to-end
//                         figures are compared with);
//   BM_BusLoopPingPong    the same exchange through Velkor's D-Bus layer: requests and answers
//                         built and parsed by the codecs, each side driven by its BusLoop thread,
//                         the caller waiting for its answer on another thread, as the transport
//                         does.
// JSON as well as the table:
//   bench_dbus_floor --benchmark_out=dbus_floor.json --benchmark_out_format=json
// On a small virtual machine, waking a thread on an idle virtual CPU costs more than the whole
// exchange, so unpinned figures jump between two levels from run to run; pinned to one CPU
// (`taskset -c 0 bench_dbus_floor`) they are steady. Compare figures taken the same way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "BusPingPong.h"
#include "EchoServer.h"
#include "LatencyReport.h"
#include "dbus/BusLoop.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "support/PrivateBus.h"

using namespace velkor;

namespace {

const std::string kService = "org.velkor.SettingsDaemon";

void BM_BareSdBusPingPong(benchmark::State& state) {
    test::PrivateBus bus;
    test::BusPingPong pingPong(bus.address(), kService);
    std::vector<double> micros;
    for (auto _ : state) {
        auto elapsed = pingPong.roundTrip();
        micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    velkor::bench::reportLatency(state, micros);
}

/// Sends requests through its loop and waits on the calling thread for the answer's tag.
class WaitingClient {
  public:
    explicit WaitingClient(const std::string& address) : loop_(dbus::BusConnection::open(address)) {
        loop_.start(
            [this](const dbus::Message& m) {
                auto parsed = dbus::ResponseCodec::parse(m);
                if (const auto* received = std::get_if<dbus::ReceivedResponse>(&parsed)) {
                    std::lock_guard lock(mutex_);
                    answered_ = received->tag;
                    arrived_.notify_one();
                }
            },
            [] {});
    }

    void roundTrip(const UUID& tag, const ClientRequest& request) {
        loop_.withBus([&](dbus::BusConnection& bus) {
            bus.send(dbus::RequestCodec::build(bus, kService, tag, request));
        });
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return answered_ == tag; }))
            throw std::runtime_error("no answer within 5 s");
    }

  private:
    dbus::BusLoop loop_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<UUID> answered_;
};

void BM_BusLoopPingPong(benchmark::State& state) {
    test::PrivateBus bus;
    bench::EchoServer server(bus.address(), kService);
    WaitingClient client(bus.address());
    const UUID container = UUID::random();
    std::vector<UUID> tags(1024);
    for (auto& tag : tags)
        tag = UUID::random();
    std::vector<double> micros;
    std::size_t n = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        client.roundTrip(tags[n++ % tags.size()],
                         ClientRequest::SetHasSubscription{container, true});
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    velkor::bench::reportLatency(state, micros);
}

}  // namespace

BENCHMARK(BM_BareSdBusPingPong)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BusLoopPingPong)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);
