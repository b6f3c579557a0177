// Round trips through velkord on a private dbus-daemon that the benchmark starts and stops
// itself, with the bare sd-bus exchange on the same bus in the same run as the floor:
//   BM_Floor_BareSdBusPingPong  a one-way call answered by a signal addressed to the caller, sd-bus
//                               alone on both sides (median_us, p99_us);
//   BM_Daemon_UpdateRoundTrip   one accepted update (a dictionary key set to a new number) from
//                               sending the call to reading its answer (median_us, p99_us);
//   BM_Daemon_AcceptedChanges   accepted updates per second (changes_per_s) from 1 and 8 clients,
//                               each setting keys of its own settings file one round trip after
//                               the other; with durability normal (the default) and full.
// The clients reach velkord through direct channels, or with VELKOR_TEST_PATH=bus through the bus.
// JSON as well as the table:
//   bench_daemon_bus --benchmark_out=daemon_bus.json --benchmark_out_format=json
// Unpinned figures on a small virtual machine jump with thread wake-ups; compare figures taken
// the same way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BusPingPong.h"
#include "LatencyReport.h"
#include "daemon/DaemonTesting.h"
#include "support/DaemonClient.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"

using namespace velkor;

namespace {

const std::string kNormal = "org.velkor.SettingsDaemon";
const std::string kFull = "org.velkor.BenchDurabilityFull";

/// One bus for the whole run, a daemon of each durability on it, and the bare ping-pong.
struct Environment {
    test::PrivateBus bus;
    test::TempDir dir;
    test::TestDaemon normal{{VELKORD_PATH, bus.address(), dir.file("normal.db"), {}, kNormal}};
    test::TestDaemon full{
        {VELKORD_PATH, bus.address(), dir.file("full.db"), {"--durability", "full"}, kFull}};
    test::BusPingPong pingPong{bus.address()};

    static Environment& get() {
        static Environment environment;
        return environment;
    }
};

/// A client with a settings file of its own, holding one dictionary that it sets keys of.
class Writer {
  public:
    explicit Writer(const std::string& service)
        : client_(Environment::get().bus.address(), service, path()), root_(UUID::random()) {
        auto created = client_.request(ClientRequest::CreateSettings{
            Blob(test::clientBlob(test::dict(root_, {}))), "bench." + root_.description(), 0});
        if (!created || !created->response ||
            !created->response->get<ServerResponse::RequestSucceeded>())
            throw std::runtime_error("cannot create the benchmark's settings");
    }

    /// Sets a key to a new number and waits for the answer; true when it was accepted.
    bool change() {
        auto record = std::make_shared<const VKChangeNotification>(
            ChangeType::childChanged, root_, revision_, 0, 0, "k" + std::to_string(revision_ % 8),
            test::clientBlob(test::num(revision_)));
        auto answer = client_.request(ClientRequest::UpdateSettings{record});
        const auto* updated = answer && answer->response
                                  ? answer->response->get<ServerResponse::SettingsUpdated>()
                                  : nullptr;
        if (!updated || updated->changeResult != ChangeResult::done)
            return false;
        revision_ = updated->newRevision;
        return true;
    }

  private:
    /// A direct channel, or the bus when VELKOR_TEST_PATH is "bus" (velkord then hands out none).
    static test::DaemonClient::Path path() {
        const char* path = std::getenv("VELKOR_TEST_PATH");
        return path && std::string(path) == "bus" ? test::DaemonClient::Path::bus
                                                  : test::DaemonClient::Path::direct;
    }

    test::DaemonClient client_;
    UUID root_;
    std::int64_t revision_ = 0;
};

void BM_Floor_BareSdBusPingPong(benchmark::State& state) {
    auto& pingPong = Environment::get().pingPong;
    std::vector<double> micros;
    for (auto _ : state)
        micros.push_back(std::chrono::duration<double, std::micro>(pingPong.roundTrip()).count());
    velkor::bench::reportLatency(state, micros);
}
BENCHMARK(BM_Floor_BareSdBusPingPong)->UseRealTime();

void BM_Daemon_UpdateRoundTrip(benchmark::State& state) {
    Writer writer(kNormal);
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!writer.change()) {
            state.SkipWithError("an update was not accepted");
            break;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    velkor::bench::reportLatency(state, micros);
}
BENCHMARK(BM_Daemon_UpdateRoundTrip)->UseRealTime();

/// Argument 0: durability (0 normal, 1 full). Threads: clients.
void BM_Daemon_AcceptedChanges(benchmark::State& state) {
    Environment::get();  // started before the clients race for it
    Writer writer(state.range(0) == 0 ? kNormal : kFull);
    std::int64_t accepted = 0;
    for (auto _ : state) {
        if (!writer.change()) {
            state.SkipWithError("an update was not accepted");
            break;
        }
        ++accepted;
    }
    state.counters["changes_per_s"] =
        benchmark::Counter(static_cast<double>(accepted), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Daemon_AcceptedChanges)
    ->ArgName("full")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime();

}  // namespace
