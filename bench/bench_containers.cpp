// Client containers: decoding a daemon blob, encoding a local tree, dictionary reads, and the
// memory a decoded tree takes.
//
//   bench_containers --benchmark_format=console --benchmark_out=containers.json
//   --benchmark_out_format=json
//
// The tree: 100,000 values, one in ten a container. Containers are numbered breadth first and
// container n holds containers 2n+1 and 2n+2 (a binary tree of depth 14), dictionaries at even
// depths and arrays at odd ones; each holds 9 scalars as well: strings, numbers and 8-byte data
// values in turn.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "connection/ConnectionImpl.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/Log.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"
#include "velkor/rx/ImmediateScheduler.h"

using namespace velkor;

namespace {

constexpr int kContainers = 10'000;
constexpr int kScalarsPerContainer = 9;
constexpr int kValues = kContainers * (1 + kScalarsPerContainer);

int depthOf(int n) {
    int depth = 0;
    for (; n > 0; n = (n - 1) / 2)
        ++depth;
    return depth;
}

std::vector<int> childrenOf(int n) {
    std::vector<int> children;
    for (int c : {2 * n + 1, 2 * n + 2}) {
        if (c < kContainers)
            children.push_back(c);
    }
    return children;
}

const std::vector<std::uint8_t> kData{1, 2, 3, 4, 5, 6, 7, 8};

long residentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// A transport that nobody serves: the benchmarks send no request.
class SilentTransport final : public ConnectionToServer {
  public:
    std::shared_ptr<VirtualChannelToServer> virtualChannel() override { return channel_; }

  private:
    std::shared_ptr<VirtualChannelToServer> channel_ = std::make_shared<VirtualChannelToServer>();
};

std::shared_ptr<ConnectionImpl> makeConnection() {
    setLogSink(nullptr, LogLevel::off);
    static di::Container services;
    static bool registered = (services.registerFactory<ConnectionToServer>([](const di::Resolver&) {
        return std::make_shared<SilentTransport>();
    }),
                              true);
    (void)registered;
    return ConnectionImpl::make(*services.synchronize(),
                                std::make_shared<rx::ImmediateScheduler>());
}

std::vector<UUID> containerIds() {
    std::vector<UUID> ids;
    for (int i = 0; i < kContainers; ++i)
        ids.push_back(UUID::random());
    return ids;
}

void writeScalar(basalt::ArchiveWriter& w, int n, int i) {
    switch (i % 3) {
        case 0:
            w.encodeInteger(1).encodeText("value-" + std::to_string(n * 10 + i));
            break;
        case 1:
            w.encodeInteger(0).encodeInteger(n * 10 + i);
            break;
        default:
            w.encodeInteger(2).encodeBytes(kData);
    }
}

void writeContainer(basalt::ArchiveWriter& w, const std::vector<UUID>& ids, int n) {
    const bool dictionary = depthOf(n) % 2 == 0;
    const auto children = childrenOf(n);
    w.encodeInteger(dictionary ? 4 : 3).encodeBytes(ids[n].bytes()).encodeBytes(ids[0].bytes());
    w.encodeInteger(1).encodeInteger(kScalarsPerContainer + static_cast<int>(children.size()));
    for (int i = 0; i < kScalarsPerContainer; ++i) {
        if (dictionary)
            w.encodeText("key" + std::to_string(i));
        writeScalar(w, n, i);
    }
    for (std::size_t c = 0; c < children.size(); ++c) {
        if (dictionary)
            w.encodeText("child" + std::to_string(c));
        writeContainer(w, ids, children[c]);
    }
}

Blob daemonBlob() {
    basalt::ArchiveWriter w;
    writeContainer(w, containerIds(), 0);
    return Blob(w.takeArchiverData());
}

VKObjectPtr scalar(int n, int i) {
    switch (i % 3) {
        case 0:
            return std::make_shared<VKString>("value-" + std::to_string(n * 10 + i));
        case 1:
            return std::make_shared<VKNumber>(n * 10 + i);
        default:
            return std::make_shared<VKData>(kData);
    }
}

std::shared_ptr<VKContainer> localTree(int n = 0) {
    const auto children = childrenOf(n);
    if (depthOf(n) % 2 == 0) {
        auto d = VKDictionary::make(kScalarsPerContainer + children.size());
        for (int i = 0; i < kScalarsPerContainer; ++i)
            d->set("key" + std::to_string(i), scalar(n, i));
        for (std::size_t c = 0; c < children.size(); ++c) {
            d->set("child" + std::to_string(c), localTree(children[c]));
        }
        return d;
    }
    auto a = VKArray::make(kScalarsPerContainer + children.size());
    for (int i = 0; i < kScalarsPerContainer; ++i)
        a->append(scalar(n, i));
    for (int c : children)
        a->append(localTree(c));
    return a;
}

VKObjectPtr decode(const Blob& blob, const std::shared_ptr<ConnectionImpl>& connection) {
    auto decoder = DeserializerOnClient::make(blob, connection);
    return decoder ? decoder->decodeVKObject() : nullptr;
}

void BM_DecodeDaemonBlob(benchmark::State& state) {
    auto connection = makeConnection();
    const Blob blob = daemonBlob();
    for (auto _ : state) {
        auto tree = decode(blob, connection);
        if (!tree) {
            state.SkipWithError("blob did not decode");
            break;
        }
        state.PauseTiming();
        tree.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kValues);
    state.counters["blob_bytes"] = static_cast<double>(blob.size());
}
BENCHMARK(BM_DecodeDaemonBlob)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeLocalTree(benchmark::State& state) {
    auto tree = localTree();
    std::size_t bytes = 0;
    for (auto _ : state) {
        SerializerOnClient encoder;
        serialize(*tree, encoder);
        bytes = encoder.archiverData().size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kValues);
    state.counters["blob_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeLocalTree)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reads of a 1,000-key dictionary attached to a connection (decoded from a daemon blob), by one
// thread or by two at once, next to their floor and to the parts a read is made of. Each thread
// reads every key in turn, the second one from key 500 on.
constexpr std::size_t kReadKeys = 1000;
std::vector<std::string> gKeys;
std::shared_ptr<ConnectionImpl> gReadConnection;
std::shared_ptr<VKDictionary> gDictionary;
std::unordered_map<std::string, std::int64_t> gPlainMap;  // the same keys and numbers
VKDictionary::Items gItems;                               // a copy of the dictionary's entries
std::vector<VKObjectPtr> gValues;                         // its values, in the keys' order

void makeReadData(benchmark::State& state) {
    gKeys.clear();
    gPlainMap.clear();
    basalt::ArchiveWriter w;
    const UUID id = UUID::random();
    w.encodeInteger(4).encodeBytes(id.bytes()).encodeBytes(id.bytes());
    w.encodeInteger(1).encodeInteger(static_cast<std::int64_t>(kReadKeys));
    for (std::size_t n = 0; n < kReadKeys; ++n) {
        gKeys.push_back("setting.key." + std::to_string(n));
        gPlainMap.emplace(gKeys.back(), static_cast<std::int64_t>(n));
        w.encodeText(gKeys.back()).encodeInteger(0).encodeInteger(static_cast<std::int64_t>(n));
    }
    gReadConnection = makeConnection();
    gDictionary = std::dynamic_pointer_cast<VKDictionary>(
        decode(Blob(w.takeArchiverData()), gReadConnection));
    if (!gDictionary || !gDictionary->onServer()) {
        state.SkipWithError("the dictionary did not decode attached");
        return;
    }
    gItems = gDictionary->items();
    gValues.clear();
    for (const auto& key : gKeys)
        gValues.push_back(gItems.at(key));
}

// Runs `read(n)` for key after key, on the data the first thread makes first.
template <typename Read>
void readKeys(benchmark::State& state, Read read) {
    if (state.thread_index() == 0)
        makeReadData(state);
    std::size_t n = static_cast<std::size_t>(state.thread_index()) * (kReadKeys / 2);
    for (auto _ : state) {
        read(n);
        n = n + 1 == kReadKeys ? 0 : n + 1;
    }
    if (state.thread_index() == 0) {
        gValues.clear();
        gItems.clear();
        gDictionary.reset();
        gReadConnection.reset();
    }
}

// A value as a shared pointer: the value's count of owners goes up and down.
void BM_DictionaryGet(benchmark::State& state) {
    readKeys(state, [](std::size_t n) { benchmark::DoNotOptimize(gDictionary->get(gKeys[n])); });
}
BENCHMARK(BM_DictionaryGet)->Threads(1)->Threads(2)->UseRealTime();

// The typed read: the number itself.
void BM_DictionaryGetInteger(benchmark::State& state) {
    readKeys(state, [](std::size_t n) {
        benchmark::DoNotOptimize(gDictionary->get(gKeys[n], std::int64_t{-1}));
    });
}
BENCHMARK(BM_DictionaryGetInteger)->Threads(1)->Threads(2)->UseRealTime();

// The floor of the reads above: the same loop over a plain map, which no lock or shared count
// guards, by one thread or by two at once (two virtual CPUs need not be two whole cores).
void BM_PlainMapGetFloor(benchmark::State& state) {
    readKeys(state,
             [](std::size_t n) { benchmark::DoNotOptimize(gPlainMap.find(gKeys[n])->second); });
}
BENCHMARK(BM_PlainMapGetFloor)->Threads(1)->Threads(2)->UseRealTime();

// What a read is made of, each part alone: entering and leaving the dictionary's items lock;
// looking the key up in a copy of its entries, without the lock, and copying the value's shared
// pointer out; copying and releasing the value's shared pointer alone.
void BM_ReadPartItemsLock(benchmark::State& state) {
    readKeys(state, [](std::size_t) {
        gDictionary->withReadItemsLock([] { benchmark::ClobberMemory(); });
    });
}
BENCHMARK(BM_ReadPartItemsLock)->Threads(1)->Threads(2)->UseRealTime();

void BM_ReadPartLookupAndCopy(benchmark::State& state) {
    readKeys(state, [](std::size_t n) {
        VKObjectPtr value = gItems.find(gKeys[n])->second;
        benchmark::DoNotOptimize(value);
    });
}
BENCHMARK(BM_ReadPartLookupAndCopy)->Threads(1)->Threads(2)->UseRealTime();

void BM_ReadPartValueCopy(benchmark::State& state) {
    readKeys(state, [](std::size_t n) {
        VKObjectPtr value = gValues[n];
        benchmark::DoNotOptimize(value);
    });
}
BENCHMARK(BM_ReadPartValueCopy)->Threads(1)->Threads(2)->UseRealTime();

// The same copies of values that no other thread reads: each thread has numbers of its own. Next
// to the row above it tells what two threads cost because they count owners of the same values
// (each count's cache line moves between the cores) from what the machine's two CPUs cost.
void BM_ReadPartUnsharedValueCopy(benchmark::State& state) {
    std::vector<VKObjectPtr> own;
    for (std::size_t n = 0; n < kReadKeys; ++n)
        own.push_back(std::make_shared<VKNumber>(static_cast<std::int64_t>(n)));
    std::size_t n = 0;
    for (auto _ : state) {
        VKObjectPtr value = own[n];
        benchmark::DoNotOptimize(value);
        n = n + 1 == kReadKeys ? 0 : n + 1;
    }
}
BENCHMARK(BM_ReadPartUnsharedValueCopy)->Threads(1)->Threads(2)->UseRealTime();

// What the decoded tree holds: heap in use (malloc's own count) and resident pages, measured
// before and after decoding, per value.
void BM_DecodedTreeMemory(benchmark::State& state) {
    auto connection = makeConnection();
    const Blob blob = daemonBlob();
    decode(blob, connection);  // first use: the registry's table and the logger exist now
    double heap = 0;
    double resident = 0;
    for (auto _ : state) {
        malloc_trim(0);
        const auto heapBefore = mallinfo2().uordblks;
        const auto residentBefore = residentBytes();
        auto tree = decode(blob, connection);
        heap =
            (static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heapBefore)) / kValues;
        resident = static_cast<double>(residentBytes() - residentBefore) / kValues;
        state.PauseTiming();
        tree.reset();
        state.ResumeTiming();
    }
    state.counters["heap_bytes_per_value"] = heap;
    state.counters["resident_bytes_per_value"] = resident;
}
BENCHMARK(BM_DecodedTreeMemory)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
