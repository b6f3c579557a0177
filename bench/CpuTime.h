#pragma once

#include <benchmark/benchmark.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace velkor::bench {

/// CPU time that process `pid` has used so far, all its threads counted, those that have ended
/// too; zero when it can't be read.
inline std::chrono::nanoseconds cpuTimeOf(pid_t pid) {
    clockid_t clock{};
    timespec used{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
        return {};
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

/// Where the CPU time of an operation goes: the daemon's process and the clients' (this one).
class CpuSplit {
  public:
    /// Starts counting now.
    explicit CpuSplit(pid_t daemon)
        : daemon_(daemon), daemonAt_(cpuTimeOf(daemon)), selfAt_(cpuTimeOf(getpid())) {}

    /// Sets the counters daemon_cpu_us and clients_cpu_us of `state`: CPU time per operation
    /// since construction, over `operations` operations.
    void report(benchmark::State& state, std::int64_t operations) const {
        if (operations <= 0)
            return;
        auto perOperation = [&](std::chrono::nanoseconds used) {
            return std::chrono::duration<double, std::micro>(used).count() /
                   static_cast<double>(operations);
        };
        state.counters["daemon_cpu_us"] = perOperation(cpuTimeOf(daemon_) - daemonAt_);
        state.counters["clients_cpu_us"] = perOperation(cpuTimeOf(getpid()) - selfAt_);
    }

  private:
    pid_t daemon_;
    std::chrono::nanoseconds daemonAt_{};
    std::chrono::nanoseconds selfAt_{};
};

}  // namespace velkor::bench
