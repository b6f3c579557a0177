// The floors of fleet settings: bare etcd exchanges through the fleet store's own etcd client,
// against a local three-member cluster (the one VELKOR_ETCD_ENDPOINTS names, e.g. started by
// scripts/bench, or else one this benchmark starts itself through scripts/etcd-cluster):
//   BM_Floor_EtcdTxnRoundTrip    one transaction, an exact mod-revision compare and a put of a
//                                small value, to its commit (median_us, p99_us);
//   BM_Floor_EtcdPutToWatch      from a put on one connection to the watch event on another
//                                connection (another client, its own channels) (median_us,
//                                p99_us).
//   BM_Floor_EtcdTxnPerSecond8   transactions committed per second by 8 clients at once, each on
//                                its own key (commits_per_s).
//   BM_Floor_EtcdTxnPerSecond8OneHead   the same, but as changes of one fleet file are made:
//                                each transaction holds only if one shared head key is still at
//                                the revision the client last saw, puts the head and the
//                                client's own key, and reads the head when it fails, after which
//                                the client tries again (commits_per_s, conflicts_per_s).
// And velkord with fleet files, two machines (two velkords on two private buses) on that
// cluster, next to the same velkord's files of its own:
//   BM_Fleet_SetRoundTrip / BM_Local_SetRoundTrip           a client's set to its answer;
//   BM_Fleet_ChangeToObserver / BM_Local_ChangeToObserver   a set on machine A to the event of
//                                an observer on machine B (local: another client of A);
//   BM_Fleet_SetRoundTripPaired / BM_Fleet_ChangeToObserverPaired   the same two goals with
//                                the floor, the local path and the fleet path measured in turn
//                                within each iteration (floor_median_us, local_median_us,
//                                goal_us, and the fleet's median_us and p99_us): the disk's speed
//                                drifts by half within a minute, which the rows above, measured
//                                one after the other, do not share;
//   BM_Fleet_AcceptedChangesPerSecond8   sets accepted per second, 8 clients over the two
//                                machines, each on its own key of one fleet file;
//   BM_Fleet_AcceptedChangesPerSecond8Files   the same, each client on a fleet file of its own;
//   BM_Fleet_FetchWhileChangesWait   fetches on machine A while four of its clients change the
//                                fleet file as fast as they can (median_us, p99_us), next to
//                                the same fetches before (idle_median_us), and the sets/s;
//   BM_Fleet_ChangeToObserversOf20       20 machines, each with an observer of one fleet file:
//                                a set on the first to the last of the 20 events (median_us,
//                                p99_us), each velkord's resident memory (velkord_rss_mib, the
//                                largest) and the etcd members' (etcd_rss_mib, the largest).
// Every commit waits for etcd's fsync on a majority, so these figures depend on the disk as much
// as on the machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "LatencyReport.h"
#include "daemon/DaemonTesting.h"
#include "fleet/EtcdClient.h"
#include "support/DaemonClient.h"
#include "support/EtcdCluster.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

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

/// A bare put on one connection and its watch event on another: `step` puts the next value and
/// gives the microseconds to the event, or none when the event did not come within 5 s.
class PutToWatch {
  public:
    explicit PutToWatch(const std::string& prefix) : prefix_(prefix) {
        const int64_t start = writer_->put(prefix_ + "k", "start", Clock::now() + 5s);
        watcher_ = reader_->watch(prefix_, start + 1, [this](const EtcdWatchUpdate& update) {
            if (update.events.empty())
                return;
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            lastRevision_ = update.events.back().kv.modRevision;
            lastArrival_ = now;
            seen_.notify_all();
        });
    }

    std::optional<double> step() {
        const auto begin = Clock::now();
        const int64_t revision = writer_->put(prefix_ + "k", std::to_string(++i_), begin + 5s);
        std::unique_lock lock(mutex_);
        if (!seen_.wait_for(lock, 5s, [&] { return lastRevision_ >= revision; }))
            return std::nullopt;
        return microsSince(begin, lastArrival_);
    }

  private:
    std::string prefix_;
    std::unique_ptr<EtcdClient> writer_ = client();
    std::unique_ptr<EtcdClient> reader_ = client();
    std::mutex mutex_;
    std::condition_variable seen_;
    int64_t lastRevision_ = 0;
    Clock::time_point lastArrival_;
    std::unique_ptr<EtcdWatcher> watcher_;
    int64_t i_ = 0;
};

void BM_Floor_EtcdPutToWatch(benchmark::State& state) {
    PutToWatch floor("/bench/watch/");
    std::vector<double> micros;
    for (auto _ : state) {
        auto latency = floor.step();
        if (!latency) {
            state.SkipWithError("the watch did not deliver the change");
            return;
        }
        micros.push_back(*latency);
    }
    velkor::bench::reportLatency(state, micros);
}

/// Eight clients at once for 3 s: thread `i` makes its step with `makeStep(i)` and runs it over
/// and over; the counts per second of steps that succeeded and that failed.
struct Rates {
    double succeeded;
    double failed;
};
Rates eightClientsFor3s(const std::function<std::function<bool()>(int)>& makeStep) {
    std::atomic<bool> going{true};
    std::atomic<std::int64_t> succeeded{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            auto step = makeStep(i);
            while (going)
                ++(step() ? succeeded : failed);
        });
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(3s);
    going = false;
    for (auto& thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {static_cast<double>(succeeded) / seconds, static_cast<double>(failed) / seconds};
}

std::vector<std::unique_ptr<EtcdClient>> eightClients() {
    std::vector<std::unique_ptr<EtcdClient>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(client());
    return clients;
}

void BM_Floor_EtcdTxnPerSecond8(benchmark::State& state) {
    auto clients = eightClients();
    for (auto _ : state) {
        state.counters["commits_per_s"] =
            eightClientsFor3s([&](int i) {
                return [&client = *clients[i], key = "/bench/rate/" + std::to_string(i)] {
                    client.txn({}, {EtcdOp::put(key, "v")}, {}, Clock::now() + 5s);
                    return true;
                };
            }).succeeded;
    }
}

void BM_Floor_EtcdTxnPerSecond8OneHead(benchmark::State& state) {
    auto clients = eightClients();
    const std::string head = "/bench/onehead/head";
    for (auto _ : state) {
        const auto rates = eightClientsFor3s([&](int i) {
            auto& client = *clients[i];
            auto found = client.get(head, Clock::now() + 5s);
            std::int64_t seen = found.kvs.empty() ? 0 : found.kvs.front().modRevision;
            return [&client, &head, seen, key = "/bench/onehead/" + std::to_string(i)]() mutable {
                auto result = client.txn({EtcdCompare::modRevisionIs(head, seen)},
                                         {EtcdOp::put(head, "h"), EtcdOp::put(key, "v")},
                                         {EtcdOp::get(head)}, Clock::now() + 5s);
                if (result.succeeded) {
                    seen = result.revision;
                    return true;
                }
                const auto& kvs = result.results.at(0).kvs;
                seen = kvs.empty() ? 0 : kvs.front().modRevision;
                return false;
            };
        });
        state.counters["commits_per_s"] = rates.succeeded;
        state.counters["conflicts_per_s"] = rates.failed;
    }
}

/// Two machines on the cluster: velkords on private buses of their own, whose shared files of
/// org.bench.* are fleet files.
struct Machines {
    struct Machine {
        Machine(const velkor::test::TempDir& directory, const std::string& name) {
            std::string list;
            for (const auto& endpoint : endpoints())
                list += (list.empty() ? "" : ",") + endpoint;
            daemon = std::make_unique<velkor::test::TestDaemon>(velkor::test::TestDaemon::Settings{
                VELKORD_PATH,
                bus.address(),
                directory.file(name + ".db"),
                {"--fleet", list, "--fleet-domains", "org.bench.*", "--fleet-prefix",
                 "/bench/fleet/"}});
        }
        velkor::VKConnectionPtr connect() const {
            return velkor::connect(
                {.busAddress = bus.address(), .scheduler = {}, .requestTimeout = 20s});
        }
        velkor::test::PrivateBus bus;
        std::unique_ptr<velkor::test::TestDaemon> daemon;
    };

    static Machines& get() {
        static Machines machines;
        return machines;
    }

    // The machines' databases and logs, removed once the machines have stopped.
    velkor::test::TempDir directory;
    Machine a{directory, "a"};
    Machine b{directory, "b"};
    velkor::VKConnectionPtr writer = a.connect();
    velkor::VKConnectionPtr localWatcher = a.connect();
    velkor::VKConnectionPtr remoteWatcher = b.connect();
};

constexpr const char* kFleetFile = "org.bench.fleet";
constexpr const char* kLocalFile = "org.bench.local";

std::shared_ptr<velkor::VKDictionary> open(const velkor::VKConnectionPtr& connection, bool fleet) {
    return fleet ? connection->openDictionary(kFleetFile, velkor::VKOwnership::shared())
                 : connection->openDictionary(kLocalFile);
}

void measureSets(benchmark::State& state, bool fleet) {
    auto root = open(Machines::get().writer, fleet);
    std::vector<double> micros;
    std::int64_t i = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!root->set("set", ++i)) {
            state.SkipWithError("a set failed");
            return;
        }
        micros.push_back(microsSince(start));
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Fleet_SetRoundTrip(benchmark::State& state) {
    measureSets(state, true);
}

void BM_Local_SetRoundTrip(benchmark::State& state) {
    measureSets(state, false);
}

/// The counters of a paired row: the floor's and the local path's medians, the fleet's median
/// and p99, and the goal they make (the local median and 1.2 times the floor's).
void reportPaired(benchmark::State& state, std::vector<double>& floor, std::vector<double>& local,
                  std::vector<double>& fleet) {
    auto median = [](std::vector<double>& micros) {
        std::sort(micros.begin(), micros.end());
        return micros.empty() ? 0.0 : micros[micros.size() / 2];
    };
    const double floorMedian = median(floor), localMedian = median(local);
    velkor::bench::reportLatency(state, fleet);
    state.counters["floor_median_us"] = floorMedian;
    state.counters["local_median_us"] = localMedian;
    state.counters["goal_us"] = localMedian + 1.2 * floorMedian;
}

// The fleet set's goal in one loop: each iteration makes a bare transaction (the floor), a local
// set and a fleet set, one after the other, so that all three meet the same state of the disk,
// whose speed drifts by a factor of two within a minute on a shared machine.
void BM_Fleet_SetRoundTripPaired(benchmark::State& state) {
    auto etcd = client();
    const std::string key = "/bench/paired";
    const auto existing = etcd->get(key, Clock::now() + 5s).kvs;
    int64_t revision = existing.empty() ? 0 : existing.front().modRevision;
    auto fleetRoot = open(Machines::get().writer, true);
    auto localRoot = open(Machines::get().writer, false);
    std::vector<double> floor, local, fleet;
    std::int64_t i = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        auto result = etcd->txn({EtcdCompare::modRevisionIs(key, revision)},
                                {EtcdOp::put(key, std::to_string(++i))}, {}, start + 5s);
        floor.push_back(microsSince(start));
        if (!result.succeeded) {
            state.SkipWithError("the transaction's compare failed");
            return;
        }
        revision = result.revision;
        start = Clock::now();
        if (!localRoot->set("paired", i)) {
            state.SkipWithError("a local set failed");
            return;
        }
        local.push_back(microsSince(start));
        start = Clock::now();
        if (!fleetRoot->set("paired", i)) {
            state.SkipWithError("a fleet set failed");
            return;
        }
        fleet.push_back(microsSince(start));
    }
    reportPaired(state, floor, local, fleet);
}

/// A set on machine A and the event of an observer of the same file: on machine B for a fleet
/// file, of another client of A for a local one. `step` sets the next value and gives the
/// microseconds to the event, or none when it did not come within 5 s.
class SetToObserver {
  public:
    explicit SetToObserver(bool fleet) {
        auto& machines = Machines::get();
        root_ = open(machines.writer, fleet);
        watched_ = open(fleet ? machines.remoteWatcher : machines.localWatcher, fleet);
        subscription_ =
            watched_->asObservable().subscribe([this](const velkor::VKContainerChange&) {
                const auto now = Clock::now();
                const auto value = watched_->get("observed", -1);
                std::lock_guard lock(mutex_);
                latest_ = value;
                eventAt_ = now;
                arrived_.notify_all();
            });
    }
    ~SetToObserver() { subscription_->dispose(); }

    std::optional<double> step() {
        const auto start = Clock::now();
        if (!root_->set("observed", ++i_))
            return std::nullopt;
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, 5s, [&] { return latest_ == i_; }))
            return std::nullopt;
        return microsSince(start, eventAt_);
    }

  private:
    std::shared_ptr<velkor::VKDictionary> root_;
    std::shared_ptr<velkor::VKDictionary> watched_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::int64_t latest_ = -1;
    Clock::time_point eventAt_;
    velkor::rx::DisposablePtr subscription_;
    // Above any value an earlier run of the same machines left.
    std::int64_t i_ = Clock::now().time_since_epoch().count();
};

void measureObserver(benchmark::State& state, bool fleet) {
    SetToObserver observed(fleet);
    std::vector<double> micros;
    for (auto _ : state) {
        auto latency = observed.step();
        if (!latency) {
            state.SkipWithError("a set failed or the observer missed it");
            break;
        }
        micros.push_back(*latency);
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Fleet_ChangeToObserver(benchmark::State& state) {
    measureObserver(state, true);
}

void BM_Local_ChangeToObserver(benchmark::State& state) {
    measureObserver(state, false);
}

// The observer's goal in one loop, as BM_Fleet_SetRoundTripPaired does for the set: a bare put
// to its watch event (the floor), a local change to its observer, a fleet change on A to the
// observer on B, one after the other.
void BM_Fleet_ChangeToObserverPaired(benchmark::State& state) {
    PutToWatch floorSteps("/bench/watch-paired/");
    SetToObserver localSteps(false);
    SetToObserver fleetSteps(true);
    std::vector<double> floor, local, fleet;
    for (auto _ : state) {
        auto a = floorSteps.step();
        auto b = a ? localSteps.step() : std::nullopt;
        auto c = b ? fleetSteps.step() : std::nullopt;
        if (!c) {
            state.SkipWithError("a change failed or its event did not come");
            return;
        }
        floor.push_back(*a);
        local.push_back(*b);
        fleet.push_back(*c);
    }
    reportPaired(state, floor, local, fleet);
}

// Sets accepted per second by 8 clients over the two machines, client i setting a key of its
// own in `rootOf(connection, i)`.
void measureEightClients(
    benchmark::State& state,
    const std::function<std::shared_ptr<velkor::VKDictionary>(const velkor::VKConnectionPtr&, int)>&
        rootOf) {
    auto& machines = Machines::get();
    std::vector<velkor::VKConnectionPtr> connections;
    for (int i = 0; i < 8; ++i)
        connections.push_back(i % 2 ? machines.b.connect() : machines.a.connect());
    for (auto _ : state) {
        const auto rates = eightClientsFor3s([&](int i) {
            return [root = rootOf(connections[i], i), key = "client" + std::to_string(i),
                    n = std::int64_t{0}]() mutable { return root->set(key, n++); };
        });
        state.counters["changes_per_s"] = rates.succeeded;
        state.counters["refused_per_s"] = rates.failed;
    }
}

void BM_Fleet_AcceptedChangesPerSecond8(benchmark::State& state) {
    measureEightClients(state, [](const velkor::VKConnectionPtr& connection, int) {
        return open(connection, true);
    });
}

// The same with each client on a fleet file of its own: changes of different files do not wait
// for one another's heads, so this is what the fleet takes when its changes are spread over files.
void BM_Fleet_AcceptedChangesPerSecond8Files(benchmark::State& state) {
    measureEightClients(state, [](const velkor::VKConnectionPtr& connection, int i) {
        return connection->openDictionary(std::string(kFleetFile) + ".c" + std::to_string(i),
                                          velkor::VKOwnership::shared());
    });
}

// Fetches of the fleet file on machine A (by a client of the wire protocol, so that each goes to
// velkord) while four clients of A change it as fast as etcd takes their changes: reads are
// served by the copy, not after the changes that wait for etcd. Counters: the fetches' median_us
// and p99_us, idle_median_us (the same fetches before the changes began), sets_per_s.
void BM_Fleet_FetchWhileChangesWait(benchmark::State& state) {
    auto& machines = Machines::get();
    if (!open(machines.writer, true)->set("fetched", 1)) {
        state.SkipWithError("the fleet file could not be written");
        return;
    }
    velkor::test::DaemonClient reader(machines.a.bus.address());
    const velkor::ClientRequest request =
        velkor::ClientRequest::FetchSettings{kFleetFile, 1, "", false};
    auto fetch = [&]() -> std::optional<double> {
        const auto start = Clock::now();
        auto answer = reader.request(request, 20s);
        if (!answer || !answer->response ||
            answer->response->get<velkor::ServerResponse::RequestHasFailed>())
            return std::nullopt;
        return microsSince(start);
    };
    std::vector<double> idle, micros;
    for (int i = 0; i < 200; ++i)
        if (auto latency = fetch())
            idle.push_back(*latency);
    std::atomic<bool> writing{true};
    std::atomic<std::int64_t> sets{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, connection = machines.a.connect(), key = "w" + std::to_string(w)] {
            auto root = open(connection, true);
            for (std::int64_t n = 0; writing; ++n)
                sets += root->set(key, n);
        });
    std::this_thread::sleep_for(200ms);  // the changes are under way
    const auto begin = Clock::now();
    for (auto _ : state) {
        auto latency = fetch();
        if (!latency) {
            state.SkipWithError("a fetch failed");
            break;
        }
        micros.push_back(*latency);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    writing = false;
    for (auto& writer : writers)
        writer.join();
    std::sort(idle.begin(), idle.end());
    velkor::bench::reportLatency(state, micros);
    state.counters["idle_median_us"] = idle.empty() ? 0.0 : idle[idle.size() / 2];
    state.counters["sets_per_s"] = static_cast<double>(sets) / seconds;
}

/// The resident memory of process `pid` in MiB, or 0.
double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

/// The processes of the etcd members serving the cluster's endpoints.
std::vector<pid_t> etcdMembers() {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream file(entry.path() / "cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(file)), {});
        if (!cmdline.starts_with("/usr/bin/etcd"))
            continue;
        for (const auto& endpoint : endpoints())
            if (cmdline.find(endpoint) != std::string::npos) {
                pids.push_back(std::stoi(name));
                break;
            }
    }
    return pids;
}

void BM_Fleet_ChangeToObserversOf20(benchmark::State& state) {
    constexpr int kMachines = 20;
    const auto& directory = Machines::get().directory;
    std::vector<std::unique_ptr<Machines::Machine>> machines;
    for (int i = 0; i < kMachines; ++i)
        machines.push_back(
            std::make_unique<Machines::Machine>(directory, "scale" + std::to_string(i)));
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::int64_t> latest(kMachines, -1);
    std::vector<Clock::time_point> at(kMachines);
    std::vector<velkor::VKConnectionPtr> connections;
    std::vector<std::shared_ptr<velkor::VKDictionary>> roots;
    std::vector<velkor::rx::DisposablePtr> subscriptions;
    auto writer = open(machines[0]->connect(), true);
    for (int i = 0; i < kMachines; ++i) {
        connections.push_back(machines[i]->connect());
        roots.push_back(open(connections.back(), true));
        subscriptions.push_back(roots.back()->asObservable().subscribe(
            [&, i, root = roots.back()](const velkor::VKContainerChange&) {
                const auto now = Clock::now();
                const auto value = root->get("scale", -1);
                std::lock_guard lock(mutex);
                latest[i] = value;
                at[i] = now;
                arrived.notify_all();
            }));
    }
    std::vector<double> micros;
    std::int64_t n = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!writer->set("scale", ++n)) {
            state.SkipWithError("a set failed");
            break;
        }
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, 10s, [&] {
                return std::all_of(latest.begin(), latest.end(), [&](auto v) { return v == n; });
            })) {
            state.SkipWithError("an observer missed a change");
            break;
        }
        micros.push_back(microsSince(start, *std::max_element(at.begin(), at.end())));
    }
    for (auto& subscription : subscriptions)
        subscription->dispose();
    double velkordMiB = 0, etcdMiB = 0;
    for (const auto& machine : machines)
        velkordMiB = std::max(velkordMiB, residentMiB(machine->daemon->pid()));
    for (pid_t pid : etcdMembers())
        etcdMiB = std::max(etcdMiB, residentMiB(pid));
    state.counters["velkord_rss_mib"] = velkordMiB;
    state.counters["etcd_rss_mib"] = etcdMiB;
    velkor::bench::reportLatency(state, micros);
}

}  // namespace

BENCHMARK(BM_Floor_EtcdTxnRoundTrip)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Floor_EtcdPutToWatch)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Floor_EtcdTxnPerSecond8)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Floor_EtcdTxnPerSecond8OneHead)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Local_SetRoundTrip)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_SetRoundTrip)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_SetRoundTripPaired)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Local_ChangeToObserver)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_ChangeToObserver)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_ChangeToObserverPaired)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_AcceptedChangesPerSecond8)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Fleet_AcceptedChangesPerSecond8Files)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Fleet_FetchWhileChangesWait)->UseRealTime()->Iterations(1000);
BENCHMARK(BM_Fleet_ChangeToObserversOf20)->UseRealTime()->Iterations(100);
