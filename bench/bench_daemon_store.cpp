// Throughput of the daemon's settings store: accepted changes per second with one writer and
// eight writers (threads contending for the store, or requests arriving together and sharing a
// commit), under both durabilities; and the time to build the answer to a fetch of a 10,000-value
// file and of a file of 4,095 containers. The store lives in $TMPDIR (default /tmp), which must be
// on a disk for the `full` figures to mean anything.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "core/SettingsStore.h"
#include "core/ValueKind.h"

using namespace velkor;
using namespace velkor::daemon;

namespace {

constexpr int writers = 8;

class BenchDir {
  public:
    BenchDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "velkord-bench-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~BenchDir() { std::filesystem::remove_all(path_); }
    std::string file() const { return path_ / "settings.db"; }

  private:
    std::filesystem::path path_;
};

Durability durabilityOf(const benchmark::State& state) {
    return state.range(0) == 1 ? Durability::full : Durability::normal;
}

void header(basalt::ArchiveWriter& w, ValueKind kind, const UUID& id, std::int64_t count) {
    w.encodeInteger(static_cast<std::int64_t>(kind)).encodeBytes(id.bytes());
    w.encodeInteger(0).encodeInteger(0).encodeInteger(count);
}

std::vector<std::uint8_t> numberBlob(std::int64_t value) {
    basalt::ArchiveWriter w;
    w.encodeInteger(0).encodeInteger(value);
    return w.takeArchiverData();
}

// A file whose root holds `children` empty dictionaries, one per writer.
struct WriterFile {
    UUID root = UUID::random();
    std::vector<UUID> dictionaries;

    explicit WriterFile(int children) {
        for (int i = 0; i < children; ++i) {
            dictionaries.push_back(UUID::random());
        }
    }

    Blob blob() const {
        basalt::ArchiveWriter w;
        header(w, ValueKind::dictionary, root, static_cast<std::int64_t>(dictionaries.size()));
        for (std::size_t i = 0; i < dictionaries.size(); ++i) {
            w.encodeText("w" + std::to_string(i));
            header(w, ValueKind::dictionary, dictionaries[i], 0);
        }
        return Blob(w.takeArchiverData());
    }
};

ClientRequest setRequest(const UUID& dictionary, std::int64_t revision) {
    return ClientRequest::UpdateSettings{std::make_shared<VKChangeNotification>(
        ChangeType::childChanged, dictionary, revision, 0, 0, "k" + std::to_string(revision % 64),
        numberBlob(revision))};
}

void requireDone(benchmark::State& state, const Outcome& outcome) {
    const auto* u = outcome.answer.get<ServerResponse::SettingsUpdated>();
    if (!u || u->changeResult != ChangeResult::done) {
        state.SkipWithError("a change was not accepted");
    }
}

// One writer; every change is its own transaction and commit.
void BM_OneWriter(benchmark::State& state) {
    BenchDir dir;
    SettingsStore store(dir.file(), durabilityOf(state));
    const WriterFile file(1);
    const Caller caller{":1.1", 1000};
    store.handle(caller, ClientRequest::CreateSettings{file.blob(), "bench", 1000});
    std::int64_t revision = 0;
    for (auto _ : state) {
        requireDone(state, store.handle(caller, setRequest(file.dictionaries[0], revision++)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OneWriter)->ArgName("full")->Arg(0)->Arg(1)->UseRealTime();

// Eight writers whose changes arrive together, as the daemon's event loop gathers the requests
// pending on the bus: each round is one batch of eight changes sharing one commit.
void BM_EightWritersBatched(benchmark::State& state) {
    BenchDir dir;
    SettingsStore store(dir.file(), durabilityOf(state));
    const WriterFile file(writers);
    store.handle(Caller{":1.1", 1000}, ClientRequest::CreateSettings{file.blob(), "bench", 1000});
    std::int64_t revision = 0;
    for (auto _ : state) {
        std::vector<PendingRequest> batch;
        for (int w = 0; w < writers; ++w) {
            batch.push_back(PendingRequest{Caller{":1." + std::to_string(w + 1), 1000},
                                           setRequest(file.dictionaries[w], revision)});
        }
        ++revision;
        for (const auto& outcome : store.applyBatch(batch)) {
            requireDone(state, outcome);
        }
    }
    state.SetItemsProcessed(state.iterations() * writers);
}
BENCHMARK(BM_EightWritersBatched)->ArgName("full")->Arg(0)->Arg(1)->UseRealTime();

// Eight threads calling the store at once, each change its own transaction: the store's lock
// serialises them, so this measures the lock's cost on top of one commit per change.
std::unique_ptr<BenchDir> sharedDir;
std::unique_ptr<SettingsStore> sharedStore;
std::unique_ptr<WriterFile> sharedFile;

void BM_EightWriterThreads(benchmark::State& state) {
    if (state.thread_index() == 0) {
        sharedDir = std::make_unique<BenchDir>();
        sharedStore = std::make_unique<SettingsStore>(sharedDir->file(), durabilityOf(state));
        sharedFile = std::make_unique<WriterFile>(state.threads());
        sharedStore->handle(Caller{":1.1", 1000},
                            ClientRequest::CreateSettings{sharedFile->blob(), "bench", 1000});
    }
    const Caller caller{":1." + std::to_string(state.thread_index() + 1), 1000};
    std::int64_t revision = 0;
    for (auto _ : state) {
        const auto& dictionary = sharedFile->dictionaries[state.thread_index()];
        requireDone(state, sharedStore->handle(caller, setRequest(dictionary, revision++)));
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        sharedStore.reset();
        sharedFile.reset();
        sharedDir.reset();
    }
}
BENCHMARK(BM_EightWriterThreads)->ArgName("full")->Arg(0)->Arg(1)->Threads(writers)->UseRealTime();

// Fetches with `fetch` once per iteration.
void measureFetches(benchmark::State& state, SettingsStore& store, const Caller& caller,
                    const ClientRequest& fetch) {
    for (auto _ : state) {
        auto outcome = store.handle(caller, fetch);
        const auto* answer = outcome.answer.get<ServerResponse::SettingsFetched>();
        if (!answer) {
            state.SkipWithError("fetch failed");
            break;
        }
        benchmark::DoNotOptimize(answer->data.size());
    }
}

// A fetch of a file of 10,000 values: a root of 100 dictionaries of 100 values each, fetched
// recursively (range 1), or one dictionary of 10,000 values fetched alone (range 0).
void BM_FetchTenThousandValues(benchmark::State& state) {
    const bool nested = state.range(0) == 1;
    BenchDir dir;
    SettingsStore store(dir.file());
    basalt::ArchiveWriter w;
    const int outer = nested ? 100 : 1;
    const int inner = 10000 / outer;
    header(w, ValueKind::dictionary, UUID::random(), nested ? outer : inner);
    for (int i = 0; i < outer; ++i) {
        if (nested) {
            w.encodeText("section" + std::to_string(i));
            header(w, ValueKind::dictionary, UUID::random(), inner);
        }
        for (int j = 0; j < inner; ++j) {
            w.encodeText("setting" + std::to_string(j));
            if (j % 2) {
                w.encodeInteger(0).encodeInteger(j);
            } else {
                w.encodeInteger(1).encodeText("value of setting " + std::to_string(j));
            }
        }
    }
    const Caller caller{":1.1", 1000};
    store.handle(caller, ClientRequest::CreateSettings{Blob(w.takeArchiverData()), "big", 1000});
    measureFetches(state, store, caller, ClientRequest::FetchSettings{"big", 1000, "", nested});
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_FetchTenThousandValues)
    ->ArgName("nested")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

// A recursive fetch of a file of the most containers a file may hold: a root of two dictionaries
// of 2,046 empty dictionaries each (4,095 containers), the heaviest answer of few bytes.
void BM_FetchLargestFile(benchmark::State& state) {
    BenchDir dir;
    StoreLimits limits;
    limits.maxContainersPerRequest = limits.maxFileContainers;
    SettingsStore store(dir.file(), Durability::normal, limits);
    basalt::ArchiveWriter w;
    header(w, ValueKind::dictionary, UUID::random(), 2);
    for (int part = 0; part < 2; ++part) {
        w.encodeText("part" + std::to_string(part));
        header(w, ValueKind::dictionary, UUID::random(), 2046);
        for (int i = 0; i < 2046; ++i) {
            w.encodeText(std::to_string(i));
            header(w, ValueKind::dictionary, UUID::random(), 0);
        }
    }
    const Caller caller{":1.1", 1000};
    store.handle(caller,
                 ClientRequest::CreateSettings{Blob(w.takeArchiverData()), "largest", 1000});
    measureFetches(state, store, caller, ClientRequest::FetchSettings{"largest", 1000, "", true});
    state.SetItemsProcessed(state.iterations() * 4095);
}
BENCHMARK(BM_FetchLargestFile)->Unit(benchmark::kMillisecond);

// The heaviest request: a file of the most containers one request may write (a root of 2,047
// empty dictionaries) created, then deleted.
void BM_CreateAndDeleteMaximal(benchmark::State& state) {
    BenchDir dir;
    SettingsStore store(dir.file());
    const Caller caller{":1.1", 1000};
    for (auto _ : state) {
        basalt::ArchiveWriter w;
        header(w, ValueKind::dictionary, UUID::random(), 2047);
        for (int i = 0; i < 2047; ++i) {
            w.encodeText(std::to_string(i));
            header(w, ValueKind::dictionary, UUID::random(), 0);
        }
        auto created = store.handle(
            caller, ClientRequest::CreateSettings{Blob(w.takeArchiverData()), "maximal", 1000});
        auto deleted = store.handle(caller, ClientRequest::DeleteSettings{"maximal", 1000});
        if (!created.answer.get<ServerResponse::RequestSucceeded>() ||
            !deleted.answer.get<ServerResponse::SettingsDeleted>()) {
            state.SkipWithError("create or delete failed");
            break;
        }
    }
}
BENCHMARK(BM_CreateAndDeleteMaximal)->Unit(benchmark::kMillisecond);

}  // namespace
