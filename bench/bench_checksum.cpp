// Throughput of the 32-bit archive checksum, fast form against the plain word loop.
#include "tools/util/checksum.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

std::vector<unsigned char> randomBlock(std::size_t n)
{
    std::mt19937 rng(42);
    std::vector<unsigned char> v(n + 4);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

void BM_correct_checksum(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto data = randomBlock(n);
    for (auto _ : state)
        benchmark::DoNotOptimize(GseLib::correct_checksum(data.data(), n, false));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(n));
}

void BM_checksum_plain(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto data = randomBlock(n);
    for (auto _ : state) {
        std::uint64_t s1 = 0xFFFF, s2 = 0xFFFF;
        GseLib::checksum_add_words_plain(data.data(), std::uint32_t(n), s1, s2);
        benchmark::DoNotOptimize(s1);
        benchmark::DoNotOptimize(s2);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(n));
}

} // namespace

BENCHMARK(BM_correct_checksum)->Arg(64)->Arg(1024)->Arg(4096)->Arg(65536);
BENCHMARK(BM_checksum_plain)->Arg(4096);

BENCHMARK_MAIN();
