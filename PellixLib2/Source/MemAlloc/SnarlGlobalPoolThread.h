#pragma once

// The pool's background thread: every 100 ms it keeps the pool between 256 and 275 blocks, and
// every fifth round it collects the sub-allocators of ended threads once they are empty.

#include "MemAlloc/SnarlThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class BuddySystemSubAllocator;
class SnarlGlobalPool;
class SnarlSubAllocator;

class SnarlGlobalPoolThread : public SnarlThread
{
public:
    static constexpr int64_t kPoolTarget = 256;
    static constexpr int64_t kPoolCeiling = 275;

    explicit SnarlGlobalPoolThread(SnarlGlobalPool& pool) : SnarlThread(kHighest), fPool(pool) {}
    // Destroys every orphan still held, empty or not.
    ~SnarlGlobalPoolThread() override;

    void MonitorGlobalPool();
    // Destroys the orphans that have become empty, after draining their remote frees.
    void PollOrphans();
    // Moves the allocator's newly queued orphans to the front of the private list.
    void FindNewOrphans();
    // The orphans taken in and not yet destroyed; readable from any thread.
    size_t OrphanCount() const { return fOrphanCount.load(); }

protected:
    void Implementation() override;
    // The allocator's orphan queue; a bare pool has none.
    virtual BuddySystemSubAllocator* GetSubAllocatorOrphan() { return nullptr; }
    // Takes in the queued orphans and destroys them all; the thread must have stopped.
    void DestroyOrphans();

private:
    SnarlGlobalPool& fPool;
    // Linked through each sub-allocator's first word.
    SnarlSubAllocator* fOrphans = nullptr;
    std::atomic<size_t> fOrphanCount{0};
    uint32_t fRound = 0;
};
