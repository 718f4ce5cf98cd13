// global_new: a new/delete pair of 16 to 1024 bytes through the library's global operators,
// against malloc and free called directly.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>

namespace {

void newDelete(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void* block = ::operator new(size);
        benchmark::DoNotOptimize(block);
        ::operator delete(block);
    }
}

void mallocFree(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void* block = std::malloc(size);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}

} // namespace

BENCHMARK(newDelete)->Name("global_new/ours")->RangeMultiplier(4)->Range(16, 1024);
BENCHMARK(mallocFree)->Name("global_new/peer")->RangeMultiplier(4)->Range(16, 1024);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
