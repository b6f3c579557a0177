// Value equality and container placement.
//
//   bench_values --benchmark_format=console --benchmark_out=values.json --benchmark_out_format=json

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "internals/ContainerAccess.h"
#include "velkor/VKDictionaryBase.h"
#include "velkor/VKScalars.h"

namespace velkor {
namespace {

class BenchDictionary final : public VKDictionaryBase {
  public:
    std::string description() const override { return "dic"; }
    ItemMutation set(const std::string& key, VKObjectPtr value) {
        return withWriteItemsLock(
            [&] { return detail::ContainerAccess::setInternal(*this, key, std::move(value)); });
    }
};

void compareStrings(benchmark::State& state, const std::string& a, const std::string& b,
                    bool expected) {
    VKString x(a);
    VKString y(b);
    for (auto _ : state) {
        bool equal = x == y;
        benchmark::DoNotOptimize(equal);
        if (equal != expected) {
            state.SkipWithError("unexpected result");
            break;
        }
    }
}

const std::string kAscii = "network.proxy.http.port.override";  // 32 bytes

void BM_StringEqual_Ascii_Same(benchmark::State& state) {
    compareStrings(state, kAscii, kAscii, true);
}
void BM_StringEqual_Ascii_LastDiffers(benchmark::State& state) {
    compareStrings(state, kAscii, kAscii.substr(0, 31) + "X", false);
}
void BM_StringEqual_NonAscii_SameBytes(benchmark::State& state) {
    compareStrings(state, "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e",
                   "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e", true);
}
void BM_StringEqual_NonAscii_Equivalent(benchmark::State& state) {
    // Precomposed against decomposed: both sides are normalised.
    compareStrings(state, "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e",
                   "Cafe\u0301 cre\u0300me bru\u0302le\u0301e", true);
}
void BM_StringEqual_NonAscii_Different(benchmark::State& state) {
    compareStrings(state, "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e",
                   "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9E", false);
}
BENCHMARK(BM_StringEqual_Ascii_Same);
BENCHMARK(BM_StringEqual_Ascii_LastDiffers);
BENCHMARK(BM_StringEqual_NonAscii_SameBytes);
BENCHMARK(BM_StringEqual_NonAscii_Equivalent);
BENCHMARK(BM_StringEqual_NonAscii_Different);

// Places a container at the bottom of a chain of `depth` dictionaries, each iteration swapping
// two children under one key: one attach with the root and cycle checks (an ancestor walk up
// the whole chain) and one detach.
void BM_AttachAtBottomOfChain(benchmark::State& state) {
    const auto depth = static_cast<int>(state.range(0));
    std::vector<std::shared_ptr<BenchDictionary>> chain{std::make_shared<BenchDictionary>()};
    for (int i = 1; i < depth; ++i) {
        auto next = std::make_shared<BenchDictionary>();
        chain.back()->set("next", next);
        chain.push_back(next);
    }
    auto bottom = chain.back();
    std::shared_ptr<BenchDictionary> children[] = {std::make_shared<BenchDictionary>(),
                                                   std::make_shared<BenchDictionary>()};
    int turn = 0;
    for (auto _ : state) {
        auto result = bottom->set("child", children[turn]);
        benchmark::DoNotOptimize(result);
        turn ^= 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AttachAtBottomOfChain)->Arg(1)->Arg(10)->Arg(100);

}  // namespace
}  // namespace velkor
