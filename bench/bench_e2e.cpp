// The whole library against velkord on a private dbus-daemon that the benchmark starts itself,
// next to the bare sd-bus exchange measured in the same run on the same bus:
//   BM_Floor_BareSdBusPingPong     a one-way call answered by a unicast signal (median_us, p99_us);
//   BM_Floor_UnixSocketPingPong    64 bytes to another process over a socket pair and back: what
//                                  any exchange between two processes costs here (median_us,
//                                  p99_us);
//   BM_Library_SetRoundTrip        VKDictionary::set on an attached dictionary, to the daemon's
//                                  verdict, while another client holds the file and is told of
//                                  each change (median_us, p99_us);
//   BM_Library_SetRoundTripAlone   the same on a file no other client holds: velkord sends no
//                                  notice and no other client's thread is woken;
//   BM_Library_ChangeToObserver    from one client's set to the other client's observer event
//                                  (median_us, p99_us);
//   BM_Library_Fetch10000Values    getSetting of a file of 10,000 values, recursive (ms per fetch);
//   BM_Library_CachedTypedRead     a typed read of an attached dictionary (ns per read);
//   BM_Library_AcceptedChanges     changes accepted per second (changes_per_s) with 1 and 8
//                                  clients, each writing a file of its own as fast as it can.
//   BM_Library_BusyClientsSharingAFile  the same with 32 clients that also write and observe one
//                                  shared file (own keys and 8 common keys).
// The set, observer and accepted-changes benchmarks also give where the time goes: the CPU time
// per operation of velkord (daemon_cpu_us) and of this process, the clients (clients_cpu_us).
// The library reaches velkord through a direct channel, or with VELKOR_TEST_PATH=bus (velkord
// started with --no-direct-channels) through the bus.
// JSON as well as the table:
//   bench_e2e --benchmark_out=e2e.json --benchmark_out_format=json
// Unpinned figures on a small virtual machine jump with thread wake-ups; `taskset -c 0` steadies
// them. Compare figures taken the same way.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>

#include <filesystem>
#include "BusPingPong.h"
#include "CpuTime.h"
#include "LatencyReport.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/velkor.h"

using namespace velkor;
using Clock = std::chrono::steady_clock;

namespace {

/// A temporary directory for the daemon's store, removed at exit.
struct TempDir {
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "velkor-e2e-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

/// A host: its own dependency container and connection, as a separate process would have.
struct Client {
    Client() {
        container.registerFactory<BKProductDefines>(
            [](const di::Resolver&) { return std::make_shared<BKProductDefines>(); });
        VKConnectionFactory::registerWith(container, std::make_shared<rx::ImmediateScheduler>());
        connection = container.resolve<VKConnection>();
    }
    ~Client() { connection->dispose(); }
    di::Container container;
    VKConnectionPtr connection;
};

struct Environment {
    Environment() {
        // The library reaches the daemon on the system bus; point it at the private one.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
        daemon = std::make_unique<test::TestDaemon>(
            test::TestDaemon::Settings{VELKORD_PATH, bus.address(), dir.file("e2e.db")});
        writer = std::make_unique<Client>();
        watcher = std::make_unique<Client>();
        auto root = VKDictionary::make({{"counter", std::make_shared<VKNumber>(0)}});
        writerRoot =
            asDictionary(writer->connection->openOrCreateSettings(root, "bench.e2e").rootContainer);
        watcherRoot = asDictionary(
            watcher->connection->openOrCreateSettings(VKDictionary::make(), "bench.e2e")
                .rootContainer);
        aloneRoot =
            asDictionary(writer->connection
                             ->openOrCreateSettings(
                                 VKDictionary::make({{"counter", std::make_shared<VKNumber>(0)}}),
                                 "bench.e2e.alone")
                             .rootContainer);
    }

    static Environment& get() {
        static Environment environment;
        return environment;
    }

    test::PrivateBus bus;
    TempDir dir;
    test::BusPingPong pingPong{bus.address()};
    std::unique_ptr<test::TestDaemon> daemon;
    std::unique_ptr<Client> writer;
    std::unique_ptr<Client> watcher;
    VKDictionaryPtr writerRoot;
    VKDictionaryPtr watcherRoot;
    VKDictionaryPtr aloneRoot;
};

void BM_Floor_BareSdBusPingPong(benchmark::State& state) {
    auto& env = Environment::get();
    std::vector<double> micros;
    for (auto _ : state) {
        micros.push_back(
            std::chrono::duration<double, std::micro>(env.pingPong.roundTrip()).count());
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Floor_UnixSocketPingPong(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    char buffer[64] = {};
    const pid_t echo = fork();
    if (echo == 0) {
        close(fds[0]);
        while (read(fds[1], buffer, sizeof buffer) == sizeof buffer &&
               write(fds[1], buffer, sizeof buffer) == sizeof buffer) {
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = Clock::now();
        if (write(fds[0], buffer, sizeof buffer) != sizeof buffer ||
            read(fds[0], buffer, sizeof buffer) != sizeof buffer) {
            state.SkipWithError("the echo process failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fds[0]);
    waitpid(echo, nullptr, 0);
    velkor::bench::reportLatency(state, micros);
}

// Times each VKDictionary::set on `root` to the daemon's verdict.
void measureSets(benchmark::State& state, const VKDictionaryPtr& root) {
    std::vector<double> micros;
    std::int64_t value = 0;
    velkor::bench::CpuSplit cpu(Environment::get().daemon->pid());
    for (auto _ : state) {
        auto start = Clock::now();
        root->set("counter", std::make_shared<VKNumber>(++value));
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    cpu.report(state, value);
    velkor::bench::reportLatency(state, micros);
}

void BM_Library_SetRoundTrip(benchmark::State& state) {
    measureSets(state, Environment::get().writerRoot);
}

void BM_Library_SetRoundTripAlone(benchmark::State& state) {
    measureSets(state, Environment::get().aloneRoot);
}

void BM_Library_ChangeToObserver(benchmark::State& state) {
    auto& env = Environment::get();
    std::mutex mutex;
    std::condition_variable arrived;
    std::int64_t seen = -1;
    Clock::time_point eventAt;
    auto subscription = env.watcherRoot->asObservable().subscribe([&](const VKContainerChange&) {
        auto now = Clock::now();
        std::lock_guard lock(mutex);
        ++seen;
        eventAt = now;
        arrived.notify_all();
    });
    std::vector<double> micros;
    std::int64_t expected = 0;
    {
        std::lock_guard lock(mutex);
        seen = 0;
    }
    velkor::bench::CpuSplit cpu(env.daemon->pid());
    for (auto _ : state) {
        auto start = Clock::now();
        env.writerRoot->set("observed", std::make_shared<VKNumber>(expected + 1000000));
        std::unique_lock lock(mutex);
        ++expected;
        if (!arrived.wait_for(lock, std::chrono::seconds(5), [&] { return seen >= expected; })) {
            state.SkipWithError("the observer missed an event");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(eventAt - start).count());
    }
    cpu.report(state, expected);
    subscription->dispose();
    velkor::bench::reportLatency(state, micros);
}

void BM_Library_Fetch10000Values(benchmark::State& state) {
    auto& env = Environment::get();
    static bool created = false;
    if (!created) {
        // 100 dictionaries of 100 numbers each.
        auto root = VKDictionary::make(100);
        for (int i = 0; i < 100; ++i) {
            auto child = VKDictionary::make(100);
            for (int j = 0; j < 100; ++j)
                child->set("k" + std::to_string(j), std::make_shared<VKNumber>(j));
            root->set("d" + std::to_string(i), child);
        }
        env.writer->connection->createSettings(root, "bench.large");
        created = true;
    }
    for (auto _ : state) {
        // A connection of its own each time, so that nothing is already in memory.
        state.PauseTiming();
        auto reader = std::make_unique<Client>();
        state.ResumeTiming();
        auto value = reader->connection->getSetting("bench.large", "", true);
        benchmark::DoNotOptimize(value);
        state.PauseTiming();
        value.reset();
        reader.reset();
        state.ResumeTiming();
    }
}

void BM_Library_CachedTypedRead(benchmark::State& state) {
    auto& env = Environment::get();
    for (auto _ : state) {
        benchmark::DoNotOptimize(env.writerRoot->get("counter", 0));
    }
}

void BM_Library_AcceptedChanges(benchmark::State& state) {
    Environment::get();  // started before the clients race for it
    Client client;
    auto root = asDictionary(
        client.connection
            ->openOrCreateSettings(VKDictionary::make(),
                                   "bench.changes." + std::to_string(state.thread_index()))
            .rootContainer);
    // The first thread measures the CPU time of all clients' changes from its first change on
    // (the threads start their loops together, each with its file open); every thread makes as
    // many changes as it does.
    std::optional<velkor::bench::CpuSplit> cpu;
    std::int64_t value = 0;
    for (auto _ : state) {
        if (state.thread_index() == 0 && !cpu)
            cpu.emplace(Environment::get().daemon->pid());
        root->set("counter", std::make_shared<VKNumber>(++value));
    }
    if (cpu)
        cpu->report(state, value * state.threads());
    state.counters["changes_per_s"] =
        benchmark::Counter(static_cast<double>(value), benchmark::Counter::kIsRate);
}

/// 32 busy clients of one user, each on its own connection and observing a file they all share:
/// in turn each writes a file of its own, a key of its own in the shared file, and one of 8 keys
/// that every client writes there. Counts the changes the daemon accepted (a change that lost a
/// race for a common key is refused as a conflict and not counted).
void BM_Library_BusyClientsSharingAFile(benchmark::State& state) {
    Environment::get();
    Client client;
    const auto index = std::to_string(state.thread_index());
    auto own = client.connection->openDictionary("bench.busy." + index);
    auto shared = client.connection->openDictionary("bench.busy.shared");
    velkor::Subscription watching = shared->observe([](const VKContainerChange&) {});
    std::int64_t n = 0, accepted = 0;
    for (auto _ : state) {
        ++n;
        auto value = std::make_shared<VKNumber>(n);
        try {
            switch (n % 3) {
                case 0:
                    own->set("v", value);
                    break;
                case 1:
                    shared->set("c" + index, value);
                    break;
                default:
                    shared->set("k" + std::to_string(n % 8), value);
            }
            ++accepted;
        } catch (const VKError& e) {
            if (e.code() != VKError::synchronizeConflict)
                state.SkipWithError(e.what());
        }
    }
    state.counters["changes_per_s"] =
        benchmark::Counter(static_cast<double>(accepted), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_Floor_BareSdBusPingPong)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_Floor_UnixSocketPingPong)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_Library_SetRoundTrip)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_Library_SetRoundTripAlone)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_Library_ChangeToObserver)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Library_Fetch10000Values)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_Library_CachedTypedRead);
BENCHMARK(BM_Library_AcceptedChanges)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Library_BusyClientsSharingAFile)->Threads(32)->UseRealTime()->MinTime(3.0);
