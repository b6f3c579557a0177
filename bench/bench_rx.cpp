// Emission cost of the Rx layer's PublishSubject: one value to 1 and to 100 subscribed
// observers, on the emitting thread. Items per second are events emitted per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "velkor/rx/PublishSubject.h"

namespace {

void BM_PublishSubjectEmit(benchmark::State& state) {
    velkor::rx::PublishSubject<std::int64_t> subject;
    const auto observers = static_cast<int>(state.range(0));
    std::vector<std::int64_t> sums(observers, 0);
    std::vector<velkor::rx::DisposablePtr> subscriptions;
    for (int i = 0; i < observers; ++i) {
        subscriptions.push_back(subject.asObservable().subscribe(
            [&sum = sums[i]](const std::int64_t& value) { sum += value; }));
    }

    std::int64_t value = 0;
    for (auto _ : state)
        subject.onNext(++value);
    benchmark::DoNotOptimize(sums.data());

    state.SetItemsProcessed(state.iterations());
    state.counters["deliveries/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * observers, benchmark::Counter::kIsRate);
    for (auto& subscription : subscriptions)
        subscription->dispose();
}

}  // namespace

BENCHMARK(BM_PublishSubjectEmit)->Arg(1)->Arg(100);
