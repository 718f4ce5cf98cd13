#include "LogThread.h"
#include "VorkAllocationCounter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
        VorkTesting::MallocCounter counter;
        const std::string heap(100, 'x');
        ASSERT_GE(counter.count(), 1u) << "the counter must see this thread's allocations";
    }

    VorkTesting::AllocationCounter news;
    VorkTesting::MallocCounter mallocs;
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
