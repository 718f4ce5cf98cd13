#pragma once

// The process's pool of page blocks for the sub-allocators: 256 blocks of 53232 bytes made up
// front, handed out and taken back without a system call, and topped up by the pool thread once
// started. Any thread may use it.

#include "MemAlloc/SnarlGlobalBlock.h"
#include "MemAlloc/SnarlGlobalPoolStats.h"
#include "MemAlloc/SnarlGlobalPoolThread.h"

#include <libkern/OSAtomic.h>

#include <atomic>
#include <cstdint>

class SnarlGlobalPool : public SnarlGlobalPoolThread
{
public:
    SnarlGlobalPool();
    // Stops the pool thread, then releases every pooled block.
    ~SnarlGlobalPool() override;

    // Starts the pool thread, once.
    void Start();

    // A size above a pooled block's gets a fresh block; otherwise a pooled one, or a fresh pooled-
    // size one when the pool is empty. Null when the system refuses the pages.
    SnarlGlobalBlock* DemandBlock(uint64_t size);
    // A pooled block, or null; never makes one.
    SnarlGlobalBlock* RequestBlock();
    // Pools a block of the pooled size and destroys any other; null is ignored.
    void ReturnBlock(SnarlGlobalBlock* block);
    // Destroys a block taken from the pool, once no other thread can still be reading its link.
    void DestroyBlock(SnarlGlobalBlock* block);

    int64_t PooledCount() const { return fCount.load(); }
    const SnarlGlobalPoolStats& Stats() const { return fStats; }

private:
    void pool(SnarlGlobalBlock* block);

    alignas(16) OSQueueHead fQueue = OS_ATOMIC_QUEUE_INIT;
    std::atomic<int64_t> fCount{0};
    // A dequeue reads the link of the block on top, which another thread may take meanwhile.
    std::atomic<int64_t> fDequeuesInFlight{0};
    bool fStarted = false;
    SnarlGlobalPoolStats fStats;
};
