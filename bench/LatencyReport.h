#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace velkor::bench {

/// Sets the counters median_us and p99_us of `state` from per-iteration latencies in
/// microseconds (sorted in place); nothing when there are none.
inline void reportLatency(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

}  // namespace velkor::bench
