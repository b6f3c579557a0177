// velkord under hostile and heavy clients: how long a victim's small fetch takes while another
// client attacks, and how much memory velkord takes meanwhile. Each scenario starts its own
// private dbus-daemon and velkord (so that velkord's peak memory is the scenario's own) and runs
// once, with both clients on direct channels (path:0) or on the bus (path:1):
//   BM_Abuse/unloaded       the victim alone;
//   BM_Abuse/fetch_flood    an attacker sends recursive fetches of a 1 MiB file as fast as it
//                           can, 64 in flight, reading the answers;
//   BM_Abuse/update_flood   an attacker sends updates as fast as it can, 64 in flight;
//   BM_Abuse/not_reading    an attacker sends 2000 fetches of a 256 KiB file and never reads;
//   BM_Abuse/maximal        an attacker creates and deletes, over and over, a file of the most
//                           containers one request may write (2048 empty dictionaries);
//   BM_Abuse/largest_file   an attacker fetches, recursively and over and over, a file of the
//                           most containers a file may hold (4096);
//   BM_Abuse/signal_flood   an attacker keeps velkord's socket full of signals;
//   BM_Abuse/hand_out_flood an attacker leaves a 4 MiB answer unread and asks for 70 channels;
//   BM_Abuse/waiting_payloads an attacker leaves 20 MiB of answers unread and sends 30 creates
//                           of 5 MiB each;
//   BM_Abuse/malformed_churn connections one after the other, each sending one malformed call;
//   BM_Abuse/half_sent      8 connections of the attacker each send 30 MiB of a 31 MiB message
//                           and stop there;
// Counters: the victim's median_us and p99_us (200 fetches of a small file of its own, one
// round trip after the other), velkord's peak_rss_mb, and attack_requests (answered to the
// attacker during the measurement).
//   BM_Churn/path:N         1,000 clients, one after the other, connect, fetch and leave:
//                           velkord's resident memory after the first 100 (rss_100_mb) and after
//                           all (rss_1000_mb), and its open file descriptors before and after.
//   BM_BigValues/empty and /big_values: one update that writes 10,000 values, into a file that
//   is empty or that holds three values of 6 MiB (write_ms, median of 5).
// JSON as well as the table:
//   bench_daemon_abuse --benchmark_out=abuse.json --benchmark_out_format=json
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LatencyReport.h"
#include "daemon/DaemonTesting.h"
#include "dbus/BusError.h"
#include "dbus/MessageWriter.h"
#include "internals/SettingsService.h"
#include "support/DaemonClient.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"

using namespace velkor;

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

/// A private bus and a fresh velkord on it.
struct Environment {
    test::PrivateBus bus;
    test::TempDir dir;
    test::TestDaemon daemon{{VELKORD_PATH, bus.address(), dir.file("settings.db")}};

    std::unique_ptr<test::DaemonClient> connect(test::DaemonClient::Path path) {
        return std::make_unique<test::DaemonClient>(bus.address(), test::DaemonClient::kService,
                                                    path);
    }

    /// A line of velkord's /proc status ("VmHWM:", "VmRSS:"), in MiB.
    double memoryMiB(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(daemon.pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(field, 0) == 0)
                return std::stod(line.substr(field.size())) / 1024.0;
        }
        return 0;
    }
    double peakRssMiB() const { return memoryMiB("VmHWM:"); }

    double openFiles() const {
        const auto fds = std::filesystem::path("/proc") / std::to_string(daemon.pid()) / "fd";
        return static_cast<double>(std::distance(std::filesystem::directory_iterator(fds), {}));
    }
};

test::DaemonClient::Path pathOf(const benchmark::State& state, int argument) {
    return state.range(argument) == 0 ? test::DaemonClient::Path::direct
                                      : test::DaemonClient::Path::bus;
}

ClientRequest fetch(const std::string& domain, bool recursive = false) {
    return ClientRequest::FetchSettings{domain, 0, "", recursive};
}

ClientRequest set(const UUID& id, std::int64_t revision, const std::string& key,
                  const test::Node& value) {
    return ClientRequest::UpdateSettings{std::make_shared<const VKChangeNotification>(
        ChangeType::childInserted, id, revision, 0, 0, key, test::clientBlob(value))};
}

bool succeeded(const std::optional<dbus::ReceivedResponse>& answer) {
    return answer && answer->response && !answer->response->get<ServerResponse::RequestHasFailed>();
}

void create(test::DaemonClient& client, const test::Node& tree, const std::string& domain) {
    if (!succeeded(
            client.request(ClientRequest::CreateSettings{Blob(test::clientBlob(tree)), domain, 0})))
        throw std::runtime_error("cannot create " + domain);
}

/// Keeps up to `window` requests of `next()` in flight until `stop`, reading the answers.
void keepBusy(test::DaemonClient& client, std::atomic<bool>& stop, std::atomic<long>& answered,
              std::size_t window, const std::function<ClientRequest()>& next) {
    std::deque<UUID> inFlight;
    while (!stop) {
        while (inFlight.size() < window)
            inFlight.push_back(client.send(next()));
        if (client.answer(inFlight.front(), std::chrono::seconds(30)))
            ++answered;
        inFlight.pop_front();
    }
}

/// A call velkord does not have, one-way, under a tag: answered invalidData.
void sendMalformed(test::DaemonClient& client) {
    sd_bus_message* raw = nullptr;
    dbus::BusError::check(sd_bus_message_new_method_call(
                              client.bus().get(), &raw, test::DaemonClient::kService,
                              dbus_names::kObjectPath, dbus_names::kRequestInterface, "dropAll"),
                          "Making a call");
    dbus::Message call(raw);
    sd_bus_message_set_expect_reply(call.get(), 0);
    dbus::MessageWriter(call.get()).uuid(UUID::random());
    client.sendRaw(call);
}

enum Attack {
    unloaded,
    fetchFlood,
    updateFlood,
    notReading,
    maximal,
    largestFile,
    signalFlood,
    handOutFlood,
    waitingPayloads,
    malformedChurn,
    halfSent
};

void BM_Abuse(benchmark::State& state) {
    const auto attack = static_cast<Attack>(state.range(0));
    Environment env;
    auto victim = env.connect(pathOf(state, 1));
    create(*victim, test::dict(UUID::random(), {{"theme", test::str("dark")}}), "bench.victim");

    auto attacker = env.connect(pathOf(state, 1));
    std::atomic<bool> stop{false};
    std::atomic<long> answered{0};
    std::thread attackThread;
    std::vector<std::unique_ptr<test::DaemonClient>> halfSenders;
    switch (attack) {
        case unloaded:
            break;
        case fetchFlood: {
            std::vector<std::pair<std::string, test::Node>> values;
            for (int i = 0; i < 16; ++i)
                values.emplace_back(
                    "k" + std::to_string(i),
                    test::dict(UUID::random(), {{"v", test::dat(std::string(64 * 1024, 'x'))}}));
            create(*attacker, test::dict(UUID::random(), std::move(values)), "bench.flood");
            attackThread = std::thread([&] {
                keepBusy(*attacker, stop, answered, 64, [] { return fetch("bench.flood", true); });
            });
            break;
        }
        case updateFlood: {
            const UUID root = UUID::random();
            create(*attacker, test::dict(root, {}), "bench.flood");
            attackThread = std::thread([&, root] {
                // Against revision 0: after the first, each is a merge of another key.
                std::int64_t i = 0;
                keepBusy(*attacker, stop, answered, 64, [&] {
                    ++i;
                    return set(root, 0, "k" + std::to_string(i % 512), test::num(i));
                });
            });
            break;
        }
        case notReading:
            create(*attacker,
                   test::dict(UUID::random(), {{"v", test::dat(std::string(256 * 1024, 'x'))}}),
                   "bench.flood");
            for (int i = 0; i < 2000; ++i)
                attacker->send(fetch("bench.flood"));
            sd_bus_flush(attacker->bus().get());
            break;
        case largestFile: {
            // 1 + 2 * 2047 = 4095 containers: the root, then dictionaries of empty dictionaries.
            const UUID root = UUID::random();
            create(*attacker, test::dict(root, {}), "bench.largest");
            for (int part = 0; part < 2; ++part) {
                std::vector<std::pair<std::string, test::Node>> entries;
                for (int i = 0; i < 2046; ++i)
                    entries.emplace_back(std::to_string(i), test::dict(UUID::random(), {}));
                if (!succeeded(
                        attacker->request(set(root, part, "part" + std::to_string(part),
                                              test::dict(UUID::random(), std::move(entries))))))
                    throw std::runtime_error("cannot fill the largest file");
            }
            attackThread = std::thread([&] {
                keepBusy(*attacker, stop, answered, 2, [] { return fetch("bench.largest", true); });
            });
            break;
        }
        case maximal:
            attackThread = std::thread([&] {
                // The most containers one request may write (--max-containers-per-request).
                std::vector<std::pair<std::string, test::Node>> entries;
                for (int i = 0; i < 2047; ++i)
                    entries.emplace_back(std::to_string(i), test::dict(UUID::random(), {}));
                auto tree = test::dict(UUID::random(), std::move(entries));
                while (!stop) {
                    for (auto& [key, child] : tree.entries)
                        child.id = UUID::random();
                    tree.id = UUID::random();
                    attacker->request(ClientRequest::CreateSettings{Blob(test::clientBlob(tree)),
                                                                    "bench.maximal", 0});
                    if (succeeded(
                            attacker->request(ClientRequest::DeleteSettings{"bench.maximal", 0})))
                        ++answered;
                }
            });
            break;
        case signalFlood:
            attackThread = std::thread([&] {
                try {
                    for (std::uint64_t n = 0; !stop; ++n) {
                        attacker->sendNoise();
                        if (n % 64 == 0)
                            sd_bus_flush(attacker->bus().get());
                    }
                } catch (const dbus::BusError&) {
                    // cut off
                }
            });
            break;
        case handOutFlood: {
            // A 4 MiB answer left unread, then 70 channels asked for and never taken up.
            auto asker = env.connect(test::DaemonClient::Path::bus);
            create(*asker,
                   test::dict(UUID::random(), {{"v", test::dat(std::string(4 << 20, 'x'))}}),
                   "bench.big");
            asker->send(fetch("bench.big"));
            for (int i = 0; i < 70; ++i) {
                sd_bus_message* raw = nullptr;
                sd_bus_message_new_method_call(
                    asker->bus().get(), &raw, test::DaemonClient::kService, dbus_names::kObjectPath,
                    dbus_names::kChannelInterface, dbus_names::kOpenChannelMember);
                dbus::Message ask(raw);
                // Sent without a cookie, the call would expect no reply, and get no channel.
                std::uint64_t cookie = 0;
                sd_bus_send(asker->bus().get(), ask.get(), &cookie);
            }
            sd_bus_flush(asker->bus().get());
            attacker = std::move(asker);
            break;
        }
        case waitingPayloads: {
            // Behind 20 MiB of answers left unread, 30 creates of 5 MiB each.
            create(*attacker,
                   test::dict(UUID::random(), {{"v", test::dat(std::string(4 << 20, 'x'))}}),
                   "bench.big");
            for (int i = 0; i < 5; ++i)
                attacker->send(fetch("bench.big"));
            for (int i = 0; i < 30; ++i) {
                const test::Node tree =
                    test::dict(UUID::random(), {{"v", test::dat(std::string(5 << 20, 'x'))}});
                attacker->send(ClientRequest::CreateSettings{
                    Blob(test::clientBlob(tree)), "bench.payload" + std::to_string(i), 0});
            }
            sd_bus_flush(attacker->bus().get());
            break;
        }
        case halfSent:
            for (int i = 0; i < 8; ++i) {
                halfSenders.push_back(env.connect(pathOf(state, 1)));
                halfSenders.back()->sendHalfAMessage(31 << 20, 30 << 20, std::chrono::seconds(1));
            }
            break;
        case malformedChurn:
            attackThread = std::thread([&, path = pathOf(state, 1)] {
                // Short connections, each sending one malformed call and leaving.
                while (!stop) {
                    auto client = env.connect(path);
                    sendMalformed(*client);
                    sd_bus_flush(client->bus().get());
                    ++answered;
                }
            });
            break;
    }

    std::vector<double> latencies;
    for (auto _ : state) {
        if (attack != unloaded)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the attack under way
        const long before = answered;
        for (int i = 0; i < 200; ++i) {
            const auto start = Clock::now();
            if (!succeeded(victim->request(fetch("bench.victim")))) {
                state.SkipWithError("the victim's fetch was not answered");
                break;
            }
            latencies.push_back(micros(Clock::now() - start));
        }
        state.counters["attack_requests"] = static_cast<double>(answered - before);
    }
    stop = true;
    if (attackThread.joinable())
        attackThread.join();
    velkor::bench::reportLatency(state, latencies);
    state.counters["peak_rss_mb"] = env.peakRssMiB();
}
BENCHMARK(BM_Abuse)
    ->ArgNames({"attack", "path"})
    ->ArgsProduct({{unloaded, fetchFlood, updateFlood, notReading, maximal, largestFile,
                    signalFlood, handOutFlood, waitingPayloads, malformedChurn, halfSent},
                   {0, 1}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Churn(benchmark::State& state) {
    Environment env;
    create(*env.connect(pathOf(state, 0)), test::dict(UUID::random(), {{"n", test::num(1)}}),
           "bench.churn");
    // velkord closes a channel once it has seen its end go: give it a moment before counting.
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    settle();
    const double filesBefore = env.openFiles();
    auto visit = [&](int clients) {
        for (int i = 0; i < clients; ++i) {
            if (!succeeded(env.connect(pathOf(state, 0))->request(fetch("bench.churn")))) {
                state.SkipWithError("a client's fetch was not answered");
                return;
            }
        }
    };
    for (auto _ : state) {
        visit(100);
        state.counters["rss_100_mb"] = env.memoryMiB("VmRSS:");
        visit(900);
        state.counters["rss_1000_mb"] = env.memoryMiB("VmRSS:");
    }
    settle();
    state.counters["fds_before"] = filesBefore;
    state.counters["fds_after"] = env.openFiles();
}
BENCHMARK(BM_Churn)->ArgName("path")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(
    benchmark::kMillisecond);

/// Argument: 0 an empty file, 1 a file holding three values of 6 MiB.
void BM_BigValues(benchmark::State& state) {
    Environment env;
    auto client = env.connect(test::DaemonClient::Path::direct);
    const UUID root = UUID::random();
    create(*client, test::dict(root, {}), "bench.big");
    std::int64_t revision = 0;
    auto setKey = [&](const std::string& key, const test::Node& value) {
        auto answer =
            client->answer(client->send(set(root, revision, key, value)), std::chrono::minutes(2));
        const auto* updated = answer && answer->response
                                  ? answer->response->get<ServerResponse::SettingsUpdated>()
                                  : nullptr;
        if (!updated || updated->changeResult != ChangeResult::done)
            throw std::runtime_error("an update was not accepted");
        revision = updated->newRevision;
    };
    if (state.range(0) == 1) {
        for (int i = 0; i < 3; ++i)
            setKey("big" + std::to_string(i), test::dat(std::string(6 * 1024 * 1024, 'b')));
    }
    std::vector<double> millis;
    int round = 0;
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i, ++round) {
            std::vector<std::pair<std::string, test::Node>> values;
            for (int v = 0; v < 10000; ++v)
                values.emplace_back("v" + std::to_string(v), test::num(v + round));
            const auto start = Clock::now();
            setKey("many", test::dict(UUID::random(), std::move(values)));
            millis.push_back(micros(Clock::now() - start) / 1000);
        }
    }
    std::sort(millis.begin(), millis.end());
    state.counters["write_ms"] = millis[millis.size() / 2];
    state.counters["peak_rss_mb"] = env.peakRssMiB();
}
BENCHMARK(BM_BigValues)
    ->ArgName("big_values")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
