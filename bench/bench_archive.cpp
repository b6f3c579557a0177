// Encoding and decoding speed of the sequential archive for its three item types.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "basalt/ArchiveWriter.h"
#include "basalt/BKUnarchiverWrapper.h"

using velkor::basalt::ArchiveWriter;
using velkor::basalt::BKUnarchiverWrapper;

namespace {

constexpr std::size_t integerCount = 4096;
constexpr std::size_t textCount = 4096;
constexpr std::size_t bytesCount = 16;
constexpr std::size_t bytesLength = 64 * 1024;

// A mix of every head size and both signs, as counts, kinds, revisions and user values give.
std::vector<std::int64_t> integers() {
    std::vector<std::int64_t> values;
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < integerCount; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        const int bits = static_cast<int>(i % 5) * 15;  // 0, 15, 30, 45 or 60 significant bits
        auto value = static_cast<std::int64_t>(state >> (63 - bits) >> 1);
        values.push_back(i % 3 == 0 ? -value : value);
    }
    return values;
}

// Dictionary keys and short values: 6 to 21 characters.
std::vector<std::string> texts() {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < textCount; ++i) {
        values.push_back("setting." + std::string(i % 11, 'k') + std::to_string(i));
    }
    return values;
}

std::vector<std::uint8_t> largeBytes() {
    std::vector<std::uint8_t> bytes(bytesLength);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31);
    }
    return bytes;
}

template <typename Encode>
std::vector<std::uint8_t> blobOf(Encode encode) {
    ArchiveWriter writer;
    encode(writer);
    return writer.takeArchiverData();
}

// Reads every item and folds something of each into a sum, so that nothing is optimised away.
void decodeAll(benchmark::State& state, const std::vector<std::uint8_t>& blob, std::size_t items) {
    for (auto _ : state) {
        auto reader = BKUnarchiverWrapper::createWithData(blob);
        std::int64_t sum = 0;
        while (auto item = BKUnarchiverWrapper::decodeObject(*reader)) {
            sum += item->value + static_cast<std::int64_t>(item->text.size() + item->bytes.size());
        }
        benchmark::DoNotOptimize(sum);
        if (!reader->atEnd()) {
            state.SkipWithError("blob did not decode to its end");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blob.size()));
}

template <typename Encode>
void encodeAll(benchmark::State& state, Encode encode, std::size_t items) {
    std::size_t blobSize = 0;
    for (auto _ : state) {
        ArchiveWriter writer;
        encode(writer);
        blobSize = writer.archiverData().size();
        benchmark::DoNotOptimize(writer.archiverData().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blobSize));
}

const auto encodeIntegers = [values = integers()](ArchiveWriter& w) {
    for (auto v : values) {
        w.encodeInteger(v);
    }
};
const auto encodeTexts = [values = texts()](ArchiveWriter& w) {
    for (const auto& v : values) {
        w.encodeText(v);
    }
};
const auto encodeLargeBytes = [value = largeBytes()](ArchiveWriter& w) {
    for (std::size_t i = 0; i < bytesCount; ++i) {
        w.encodeBytes(value);
    }
};

void BM_EncodeIntegers(benchmark::State& state) {
    encodeAll(state, encodeIntegers, integerCount);
}
void BM_DecodeIntegers(benchmark::State& state) {
    decodeAll(state, blobOf(encodeIntegers), integerCount);
}
void BM_EncodeShortTexts(benchmark::State& state) {
    encodeAll(state, encodeTexts, textCount);
}
void BM_DecodeShortTexts(benchmark::State& state) {
    decodeAll(state, blobOf(encodeTexts), textCount);
}
void BM_EncodeBytes64K(benchmark::State& state) {
    encodeAll(state, encodeLargeBytes, bytesCount);
}
void BM_DecodeBytes64K(benchmark::State& state) {
    decodeAll(state, blobOf(encodeLargeBytes), bytesCount);
}

}  // namespace

BENCHMARK(BM_EncodeIntegers);
BENCHMARK(BM_DecodeIntegers);
BENCHMARK(BM_EncodeShortTexts);
BENCHMARK(BM_DecodeShortTexts);
BENCHMARK(BM_EncodeBytes64K);
BENCHMARK(BM_DecodeBytes64K);
