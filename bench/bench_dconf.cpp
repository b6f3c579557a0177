// dconf measured the way bench_e2e measures Velkor, for comparison:
//   BM_Dconf_WriteRoundTrip        dconf_client_write_sync, to dconf-service's answer
//                                  (median_us, p99_us);
//   BM_Dconf_ChangeToObserver      from one client's write to another client's "changed" signal
//                                  (median_us, p99_us);
//   BM_Dconf_Read                  dconf_client_read of a key (ns per read, value unreferenced).
// It talks to dconf-service on the session bus and writes the user database under
// XDG_CONFIG_HOME, so run it on a private bus whose dbus-daemon starts dconf-service, with
// XDG_CONFIG_HOME and XDG_RUNTIME_DIR pointing at a temporary directory: scripts/bench does that.
#include <benchmark/benchmark.h>
#include <dconf.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "LatencyReport.h"

using Clock = std::chrono::steady_clock;

namespace {

/// A writer and a watcher, each a dconf client of its own, whose signals are dispatched by the
/// benchmark's thread through one main context.
struct Environment {
    Environment() {
        g_main_context_push_thread_default(context);
        writer = dconf_client_new();
        watcher = dconf_client_new();
        g_signal_connect(watcher, "changed", G_CALLBACK(&Environment::onChanged), this);
        dconf_client_watch_sync(watcher, "/bench/");
        ready = write("/bench/ready", 1) && read("/bench/ready") == 1;
    }
    ~Environment() {
        g_object_unref(watcher);
        g_object_unref(writer);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    static Environment& get() {
        static Environment environment;
        return environment;
    }

    /// Writes and waits for dconf-service's answer; the write's tag goes to `tag` when asked.
    bool write(const char* key, std::int64_t value, std::string* tag = nullptr) {
        GError* error = nullptr;
        gchar* written = nullptr;
        bool ok = dconf_client_write_sync(writer, key, g_variant_new_int64(value), &written,
                                          nullptr, &error);
        if (error)
            g_error_free(error);
        if (ok && tag)
            *tag = written;
        g_free(written);
        return ok;
    }

    std::int64_t read(const char* key) {
        GVariant* value = dconf_client_read(writer, key);
        if (!value)
            return -1;
        std::int64_t result = g_variant_get_int64(value);
        g_variant_unref(value);
        return result;
    }

    /// Dispatches signals until the change of the write tagged `tag` has arrived (its time is
    /// then in changedAt) or 5 s have passed.
    bool waitForChange(const std::string& tag) {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (lastTag != tag) {
            if (Clock::now() > deadline)
                return false;
            g_main_context_iteration(context, TRUE);
        }
        return true;
    }

    static void onChanged(DConfClient*, const gchar*, const gchar* const*, const gchar* tag,
                          gpointer self) {
        auto* environment = static_cast<Environment*>(self);
        environment->changedAt = Clock::now();
        environment->lastTag = tag ? tag : "";
    }

    GMainContext* context = g_main_context_new();
    DConfClient* writer = nullptr;
    DConfClient* watcher = nullptr;
    bool ready = false;
    std::string lastTag;
    Clock::time_point changedAt;
};

bool ready(benchmark::State& state) {
    if (!Environment::get().ready)
        state.SkipWithError("dconf-service cannot be reached on the session bus");
    return Environment::get().ready;
}

void BM_Dconf_WriteRoundTrip(benchmark::State& state) {
    if (!ready(state))
        return;
    auto& env = Environment::get();
    std::vector<double> micros;
    std::int64_t value = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        if (!env.write("/bench/counter", ++value)) {
            state.SkipWithError("a write failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Dconf_ChangeToObserver(benchmark::State& state) {
    if (!ready(state))
        return;
    auto& env = Environment::get();
    std::vector<double> micros;
    std::int64_t value = 0;
    std::string tag;
    for (auto _ : state) {
        auto start = Clock::now();
        if (!env.write("/bench/observed", ++value, &tag) || !env.waitForChange(tag)) {
            state.SkipWithError("the observer missed a change");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(env.changedAt - start).count());
    }
    velkor::bench::reportLatency(state, micros);
}

void BM_Dconf_Read(benchmark::State& state) {
    if (!ready(state))
        return;
    auto& env = Environment::get();
    for (auto _ : state) {
        benchmark::DoNotOptimize(env.read("/bench/ready"));
    }
}

}  // namespace

BENCHMARK(BM_Dconf_WriteRoundTrip)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_Dconf_ChangeToObserver)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Dconf_Read);
