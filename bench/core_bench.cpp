// Micro-benchmarks of the format core, in memory: where a conversion's time goes apart from I/O.
#include <benchmark/benchmark.h>

#include <cstring>

#include "converted_database.hpp"

namespace palmconv {
namespace {

// A text document database of `count` records of `size` bytes, in memory.
std::vector<std::uint8_t> database(std::uint32_t count, std::uint32_t size) {
    const std::uint32_t first = 78 + 8 * count;
    std::vector<std::uint8_t> bytes(first + std::size_t{count} * size, 0x5A);
    std::memset(bytes.data(), 0, first);
    std::memcpy(bytes.data() + 60, "TEXtREAd", 8);
    bytes[76] = static_cast<std::uint8_t>(count >> 8);
    bytes[77] = static_cast<std::uint8_t>(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t offset = first + i * size;
        for (int k = 0; k < 4; ++k)
            bytes[78 + 8 * i + k] = static_cast<std::uint8_t>(offset >> (24 - 8 * k));
    }
    return bytes;
}

class NullSink final : public ByteSink {
  public:
    bool write(const std::uint8_t* buf, std::size_t n) override {
        benchmark::DoNotOptimize(buf);
        bytes += n;
        return true;
    }
    std::uint64_t bytes = 0;
};

void BM_LengthPrefix(benchmark::State& state) {
    std::uint32_t length = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encode_length_prefix(length));
        length = (length + 40503) & 0x0FFFFFFF;
    }
}
BENCHMARK(BM_LengthPrefix);

void BM_HeaderAndEntryTable(benchmark::State& state) {
    const auto bytes = database(static_cast<std::uint32_t>(state.range(0)), 16);
    for (auto _ : state) {
        MemorySource in(bytes);
        ConvertedLayout layout;
        benchmark::DoNotOptimize(prepare_conversion(in, layout));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HeaderAndEntryTable)->Arg(1000)->Arg(65535);

void BM_RecordCopy(benchmark::State& state) {
    const auto bytes = database(4096, static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        MemorySource in(bytes);
        NullSink out;
        benchmark::DoNotOptimize(convert_database(in, out));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_RecordCopy)->Arg(64)->Arg(4096)->Arg(65536);

}  // namespace
}  // namespace palmconv

BENCHMARK_MAIN();
