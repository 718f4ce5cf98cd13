// block_alloc: the block allocator's per-thread buddy sub-allocator against the process's malloc,
// which is glibc's, jemalloc or mimalloc depending on the binary this file is built into.
// Ours always takes its arenas from page blocks of its own pool, never from the peer's heap.
//
// Where the design keeps ours behind (see the closing note printed with the results):
// - every Allocate and Deallocate first drains the remote-free queue, a 16-byte compare-exchange
//   even when it is empty;
// - Fibonacci classes leave up to about 38% of a block unused (a 1009-byte request takes 1424);
// - each arena is a whole pooled block of 13 pages that holds one 41344-byte arena.

#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef BLOCK_ALLOC_PEER
#error "BLOCK_ALLOC_PEER names the malloc of the binary"
#endif

namespace {

constexpr size_t kLiveBlocks = 10000;
constexpr size_t kSmallest = 16;
constexpr size_t kLargest = 1024;

struct Ours
{
    static void* allocate(size_t size)
    {
        return SnarlAllocator::Instance().GetSubAllocator()->Allocate(size);
    }
    static void release(void* p) { SnarlAllocator::Instance().GetSubAllocator()->Deallocate(p); }
};

struct Peer
{
    static void* allocate(size_t size) { return std::malloc(size); }
    static void release(void* p) { std::free(p); }
};

size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    size_t resident = 0;
    statm >> pages >> resident;
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

std::vector<size_t> randomSizes(size_t count)
{
    std::mt19937 random(18);
    std::uniform_int_distribution<size_t> size(kSmallest, kLargest);
    std::vector<size_t> sizes(count);
    for (size_t& s : sizes) {
        s = size(random);
    }
    return sizes;
}

// Frees a random live block and allocates one of a random size in its place; the resident growth
// while filling the 10,000 blocks, per byte requested, is the peak of every run.
template <typename Allocator>
void owner(benchmark::State& state)
{
    static double peakResidentPerByte = 0;
    const std::vector<size_t> sizes = randomSizes(kLiveBlocks + 4096);
    std::vector<void*> live(kLiveBlocks);
    const size_t residentBefore = residentBytes();
    size_t requested = 0;
    for (size_t i = 0; i < kLiveBlocks; ++i) {
        live[i] = Allocator::allocate(sizes[i]);
        requested += sizes[i];
    }
    const double resident = double(residentBytes() - residentBefore) / double(requested);
    peakResidentPerByte = std::max(peakResidentPerByte, resident);
    std::mt19937 random(7);
    size_t next = 0;
    for (auto _ : state) {
        const size_t slot = random() % kLiveBlocks;
        Allocator::release(live[slot]);
        live[slot] = Allocator::allocate(sizes[kLiveBlocks + (next++ & 4095)]);
        benchmark::DoNotOptimize(live[slot]);
    }
    for (void* p : live) {
        Allocator::release(p);
    }
    state.counters["resident_per_byte"] = peakResidentPerByte;
}

#ifdef BLOCK_ALLOC_ALL_PAIRS

// One thread allocates, another frees what comes round a ring of pointers.
template <typename Allocator>
void cross(benchmark::State& state)
{
    constexpr size_t kRing = 1024;
    std::vector<std::atomic<void*>> ring(kRing);
    std::atomic<bool> done{false};
    std::thread freer([&] {
        size_t slot = 0;
        for (;;) {
            void* p = ring[slot].exchange(nullptr, std::memory_order_acquire);
            if (p != nullptr) {
                Allocator::release(p);
                slot = (slot + 1) % kRing;
            } else if (done.load(std::memory_order_acquire)) {
                break;
            }
        }
    });
    const std::vector<size_t> sizes = randomSizes(4096);
    size_t slot = 0;
    size_t next = 0;
    for (auto _ : state) {
        void* p = Allocator::allocate(sizes[next++ & 4095]);
        while (ring[slot].load(std::memory_order_acquire) != nullptr) {
        }
        ring[slot].store(p, std::memory_order_release);
        slot = (slot + 1) % kRing;
    }
    done.store(true, std::memory_order_release);
    freer.join();
    // Frees that reached this thread's queue after its last call are taken back now.
    Allocator::release(Allocator::allocate(16));
}

// 1,000 short-lived threads, eight at a time, each allocating and freeing 1,000 blocks.
template <typename Allocator>
void churn(benchmark::State& state)
{
    const std::vector<size_t> sizes = randomSizes(1000);
    for (auto _ : state) {
        for (int batch = 0; batch < 1000 / 8; ++batch) {
            std::vector<std::thread> threads;
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&] {
                    std::vector<void*> blocks;
                    blocks.reserve(sizes.size());
                    for (size_t size : sizes) {
                        blocks.push_back(Allocator::allocate(size));
                    }
                    for (void* p : blocks) {
                        Allocator::release(p);
                    }
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
    }
}

#endif

} // namespace

#define PAIR_NAME(pair, side) pair BLOCK_ALLOC_SUFFIX "/" side

BENCHMARK(owner<Ours>)->Name(PAIR_NAME("block_alloc_owner", "ours"));
BENCHMARK(owner<Peer>)->Name(PAIR_NAME("block_alloc_owner", "peer"));
#ifdef BLOCK_ALLOC_ALL_PAIRS
BENCHMARK(cross<Ours>)->Name(PAIR_NAME("block_alloc_cross", "ours"))->UseRealTime();
BENCHMARK(cross<Peer>)->Name(PAIR_NAME("block_alloc_cross", "peer"))->UseRealTime();
BENCHMARK(churn<Ours>)
    ->Name(PAIR_NAME("block_alloc_churn", "ours"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(churn<Peer>)
    ->Name(PAIR_NAME("block_alloc_churn", "peer"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
#endif

int main(int argc, char** argv)
{
    benchmark::AddCustomContext("peer", BLOCK_ALLOC_PEER);
    // The pool thread keeps the pool topped up, as in a program that starts the allocator.
    SnarlAllocator::Instance().Initialize();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fprintf(
        stderr, "block_alloc: the allocator is dormant in the system (the global operators use malloc), so "
                "these pairs carry no goal. Where ours trails, the design sets it: each call drains the "
                "remote-free queue first, Fibonacci classes leave up to a third of a block unused, and every "
                "arena takes a whole 13-page pooled block.\n");
    return 0;
}
