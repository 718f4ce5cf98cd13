#pragma once

// The library's block allocator: the global pool, one buddy sub-allocator per thread made on the
// thread's first request, and the collection of sub-allocators whose threads have ended. Its own
// Allocate, Deallocate and Reallocate are the system heap's; the sub-allocators are reached
// through GetSubAllocator().

#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <libkern/OSAtomic.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class SnarlAllocator : public SnarlGlobalPool
{
public:
    // The process-wide allocator, built on first use.
    static SnarlAllocator& Instance();

    SnarlAllocator();
    // Stops the pool thread and destroys the orphans and the calling thread's sub-allocator; the
    // sub-allocators of other living threads must be gone.
    ~SnarlAllocator() override;

    // Starts the pool thread.
    void Initialize() { Start(); }

    void* Allocate(size_t size);
    void Deallocate(void* p);
    void* Reallocate(void* p, size_t size);
    std::vector<void*> EmptyHeap() { return {}; }

    void SetIgnoreUnknownDeallocations(bool ignore) { fIgnoreUnknownDeallocations += ignore ? 1 : -1; }
    void SetApplicationQuitting() { fApplicationQuitting = true; }

    // The calling thread's sub-allocator, made on its first call.
    BuddySystemSubAllocator* GetSubAllocator();
    // One orphaned sub-allocator, or null.
    BuddySystemSubAllocator* GetSubAllocatorOrphan() override;

    // Run when a thread with a sub-allocator ends: destroys it when empty, else orphans it.
    static void SubAllocatorDestructor(void* subAllocator);

    // The sub-allocators made and not yet destroyed, orphans included; readable from any thread.
    size_t SubAllocatorCount() const { return fSubAllocators.load(); }

private:
    friend class BuddySystemSubAllocator;

    alignas(16) OSQueueHead fOrphans = OS_ATOMIC_QUEUE_INIT;
    int32_t fIgnoreUnknownDeallocations = 0;
    bool fApplicationQuitting = false;
    pthread_key_t fKey;
    std::atomic<size_t> fSubAllocators{0};
};
