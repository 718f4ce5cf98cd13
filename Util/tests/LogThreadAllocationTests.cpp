#include "LogThread.h"
#include "VorkAllocationCounter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// Counts the calling thread's malloc family calls. Under a sanitizer its allocator's hook does it;
// otherwise the test binary's own malloc, calloc and realloc count and hand on to the C library's.
namespace {

thread_local bool tCounting = false;
thread_local std::size_t tMallocs = 0;

void countAllocation()
{
    if (tCounting) {
        ++tMallocs;
    }
}

} // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, std::size_t),
                                                         void (*onFree)(const volatile void*));

namespace {

const int sHooksInstalled = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { countAllocation(); }, [](const volatile void*) {});

} // namespace

#else

extern "C" {

void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);

void* malloc(std::size_t size)
{
    countAllocation();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    countAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* memory, std::size_t size)
{
    countAllocation();
    return __libc_realloc(memory, size);
}
}

#endif

namespace {

class MallocCounter
{
public:
    MallocCounter() : fStart(tMallocs) { tCounting = true; }
    ~MallocCounter() { tCounting = false; }
    std::size_t count() const { return tMallocs - fStart; }

private:
    std::size_t fStart;
};

// The formats the plug-in posts from its IO thread, with arguments of their types.
TEST(LogThreadAllocation, PostingAllocatesNothing)
{
    LogThread log([](const char*) {});
    int blockIndex = 3;
    unsigned frames = 512;
    unsigned long long sample = 123456789012ULL;
    long long delta = -42;
    std::size_t chaseFrameDelta = 96;
    double sampleTime = 1234.5678;
    const void* request = &log;
    const char* iterator = "fChaseRequest: {4, 17}";

    {
        MallocCounter counter;
        const std::string heap(100, 'x');
        ASSERT_GE(counter.count(), 1u) << "the counter must see this thread's allocations";
    }

    VorkTesting::AllocationCounter news;
    MallocCounter mallocs;
    for (int round = 0; round < 3; ++round) {
        LOG_THREAD_POST(&log, "fInNumCh %d, fOutNumCh %d, fSampleRate %u, fMaxPacketSizeBytes %u", blockIndex,
                        blockIndex, frames, frames);
        LOG_THREAD_POST(&log, "StartAudio begin fZeroTimeSamplePeriod %u fBufferSyncOffsetSamples %llu",
                        frames, sample);
        LOG_THREAD_POST(&log, "chaseFrameDelta: %zu, iters before / after: %s - %s\n", chaseFrameDelta,
                        iterator, iterator);
        LOG_THREAD_POST(&log, "%u, searching for %llu in %lld %lld now %lld", frames, sample, delta, delta,
                        delta);
        LOG_THREAD_POST(
            &log,
            "Asked to write %u sample frames, only wrote %u sample frames (starting at sample frame "
            "time %f",
            frames, frames, sampleTime);
        LOG_THREAD_POST(
            &log,
            "Request %p index %u: numSampleFrames: %lld (%u bytes), numSampleFramesToSchedule: %lld, "
            "packetsLeft: %d\n",
            request, frames, delta, frames, delta, blockIndex);
        LOG_THREAD_POST(&log, "!!! Detected %d dropped isoc packets!\n", blockIndex);
        LOG_THREAD_POST(&log, "ReadInputData - chase lock contention detected");
        LOG_THREAD_ASSERT(&log, frames == 0);
    }
    EXPECT_EQ(mallocs.count(), 0u);
    EXPECT_EQ(news.count(), 0u);
}

} // namespace
