// The floors of fleet settings: bare etcd exchanges through the fleet store's own etcd client,
// against a local three-member cluster (the one VELKOR_ETCD_ENDPOINTS names, e.g. started by
// scripts/bench, or else one this benchmark starts itself through scripts/etcd-cluster):
//   BM_Floor_EtcdTxnRoundTrip    one transaction, an exact mod-revision compare and a put of a
//                                small value, to its commit (median_us, p99_us);
//   BM_Floor_EtcdPutToWatch      from a put on one connection to the watch event on another
//                                connection (another client, its own channels) (median_us,
//                                p99_us).
// Every commit waits for etcd's fsync on a majority, so these figures depend on the disk as much
// as on the machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>

#include "LatencyReport.h"
#include "fleet/EtcdClient.h"
#include "support/EtcdCluster.h"

using namespace velkor::fleet;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

/// The cluster's endpoints: from VELKOR_ETCD_ENDPOINTS, or of a cluster started for this run.
const std::vector<std::string>& endpoints() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> found;
        if (const char* given = std::getenv("VELKOR_ETCD_ENDPOINTS"); given && *given) {
            std::stringstream text(given);
            for (std::string endpoint; std::getline(text, endpoint, ',');)
                found.push_back(endpoint);
            return found;
        }
        static velkor::test::EtcdCluster cluster;
        return cluster.endpoints();
    }();
    return list;
}

std::unique_ptr<EtcdClient> client() {
    EtcdOptions options;
    options.endpoints = endpoints();
    return std::make_unique<EtcdClient>(options);
}

double microsSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

void BM_Floor_EtcdTxnRoundTrip(benchmark::State& state) {
    auto etcd = client();
    const std::string key = "/bench/txn";
    int64_t revision = etcd->get(key, Clock::now() + 5s).kvs.empty()
                           ? 0
                           : etcd->get(key, Clock::now() + 5s).kvs[0].modRevision;
    std::vector<double> micros;
    int64_t i = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto result = etcd->txn({EtcdCompare::modRevisionIs(key, revision)},
                                {EtcdOp::put(key, std::to_string(++i))}, {}, start + 5s);
        micros.push_back(microsSince(start));
        if (!result.succeeded) {
            state.SkipWithError("the transaction's compare failed");
            return;
        }
        revision = result.revision;
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Floor_EtcdPutToWatch(benchmark::State& state) {
    auto writer = client();
    auto reader = client();
    const std::string key = "/bench/watch/k";
    std::mutex mutex;
    std::condition_variable seen;
    int64_t lastRevision = 0;
    Clock::time_point lastArrival;
    const int64_t start = writer->put(key, "start", Clock::now() + 5s);
    auto watcher = reader->watch("/bench/watch/", start + 1, [&](const EtcdWatchUpdate& update) {
        if (update.events.empty())
            return;
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        lastRevision = update.events.back().kv.modRevision;
        lastArrival = now;
        seen.notify_all();
    });
    std::vector<double> micros;
    int64_t i = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        const int64_t revision = writer->put(key, std::to_string(++i), begin + 5s);
        std::unique_lock lock(mutex);
        if (!seen.wait_for(lock, 5s, [&] { return lastRevision >= revision; })) {
            state.SkipWithError("the watch did not deliver the change");
            return;
        }
        micros.push_back(microsSince(begin, lastArrival));
    }
    velkor::bench::reportLatency(state, micros);
}

}  // namespace

BENCHMARK(BM_Floor_EtcdTxnRoundTrip)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Floor_EtcdPutToWatch)->UseRealTime()->Iterations(2000);
