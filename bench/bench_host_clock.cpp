// host_clock: the process clock's readings on the real clock against a direct
// clock_gettime(CLOCK_MONOTONIC).

#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <ctime>
#include <mach/mach_time.h>

namespace {

uint64_t monotonicNanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

void ourHostTime(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(mach_absolute_time());
    }
}

void ourAbsoluteTime(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(CFAbsoluteTimeGetCurrent());
    }
}

void peerMonotonic(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(monotonicNanoseconds());
    }
}

} // namespace

BENCHMARK(ourHostTime)->Name("host_clock/ours/mach_absolute_time");
BENCHMARK(peerMonotonic)->Name("host_clock/peer/mach_absolute_time");
BENCHMARK(ourAbsoluteTime)->Name("host_clock/ours/CFAbsoluteTimeGetCurrent");
BENCHMARK(peerMonotonic)->Name("host_clock/peer/CFAbsoluteTimeGetCurrent");

BENCHMARK_MAIN();
