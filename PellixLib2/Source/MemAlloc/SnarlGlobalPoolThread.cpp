#include "MemAlloc/SnarlGlobalPoolThread.h"

#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <mach/mach_time.h>

namespace {

constexpr uint64_t kPeriodNanoseconds = 100'000'000;
constexpr uint32_t kRoundsPerOrphanPoll = 5;

uint64_t periodInHostTicks()
{
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    return kPeriodNanoseconds * timebase.denom / timebase.numer;
}

} // namespace

SnarlGlobalPoolThread::~SnarlGlobalPoolThread()
{
    RequestQuit();
    WaitForThread();
    DestroyOrphans();
}

void SnarlGlobalPoolThread::Implementation()
{
    const uint64_t period = periodInHostTicks();
    while (!QuitRequested()) {
        MonitorGlobalPool();
        fRound = (fRound + 1) % kRoundsPerOrphanPoll;
        if (fRound == 0) {
            PollOrphans();
        }
        mach_wait_until(mach_absolute_time() + period);
    }
}

void SnarlGlobalPoolThread::MonitorGlobalPool()
{
    const int64_t pooled = fPool.PooledCount();
    if (pooled < kPoolTarget) {
        for (int64_t i = pooled; i < kPoolTarget; ++i) {
            fPool.ReturnBlock(SnarlGlobalBlock::Make(SnarlGlobalBlock::kPooledSize));
        }
    } else if (pooled > kPoolCeiling) {
        for (int64_t i = kPoolCeiling; i < pooled; ++i) {
            fPool.DestroyBlock(fPool.RequestBlock());
        }
    }
}

void SnarlGlobalPoolThread::FindNewOrphans()
{
    while (BuddySystemSubAllocator* orphan = GetSubAllocatorOrphan()) {
        orphan->orphanLink = fOrphans;
        fOrphans = orphan;
        ++fOrphanCount;
    }
}

void SnarlGlobalPoolThread::PollOrphans()
{
    FindNewOrphans();
    SnarlSubAllocator** link = &fOrphans;
    while (*link != nullptr) {
        auto* orphan = static_cast<BuddySystemSubAllocator*>(*link);
        orphan->ConsumeStack();
        if (orphan->AllowDestruction()) {
            *link = orphan->orphanLink;
            delete orphan;
            --fOrphanCount;
        } else {
            link = &orphan->orphanLink;
        }
    }
}

void SnarlGlobalPoolThread::DestroyOrphans()
{
    FindNewOrphans();
    while (fOrphans != nullptr) {
        auto* orphan = static_cast<BuddySystemSubAllocator*>(fOrphans);
        fOrphans = orphan->orphanLink;
        delete orphan;
        --fOrphanCount;
    }
}
