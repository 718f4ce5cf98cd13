#include "MemAlloc/SnarlGlobalPool.h"

#include <cstddef>
#include <thread>

SnarlGlobalPool::SnarlGlobalPool() : SnarlGlobalPoolThread(*this)
{
    for (int64_t i = 0; i < kPoolTarget; ++i) {
        if (SnarlGlobalBlock* block = SnarlGlobalBlock::Make(SnarlGlobalBlock::kPooledSize)) {
            pool(block);
        }
    }
}

SnarlGlobalPool::~SnarlGlobalPool()
{
    RequestQuit();
    WaitForThread();
    while (SnarlGlobalBlock* block = RequestBlock()) {
        SnarlGlobalBlock::Destroy(block);
    }
}

void SnarlGlobalPool::Start()
{
    if (!fStarted) {
        Run();
        fStarted = true;
    }
}

SnarlGlobalBlock* SnarlGlobalPool::DemandBlock(uint64_t size)
{
    fStats.DemandBlock(size);
    if (size > SnarlGlobalBlock::kPooledSize) {
        return SnarlGlobalBlock::Make(size);
    }
    if (SnarlGlobalBlock* pooled = RequestBlock()) {
        return pooled;
    }
    fStats.GlobalPoolEmergency();
    return SnarlGlobalBlock::Make(SnarlGlobalBlock::kPooledSize);
}

SnarlGlobalBlock* SnarlGlobalPool::RequestBlock()
{
    ++fDequeuesInFlight;
    auto* block = static_cast<SnarlGlobalBlock*>(OSAtomicDequeue(&fQueue, offsetof(SnarlGlobalBlock, link)));
    --fDequeuesInFlight;
    if (block != nullptr) {
        --fCount;
    }
    return block;
}

void SnarlGlobalPool::ReturnBlock(SnarlGlobalBlock* block)
{
    if (block == nullptr) {
        return;
    }
    fStats.ReturnBlock(block->size);
    if (block->size != SnarlGlobalBlock::kPooledSize) {
        SnarlGlobalBlock::Destroy(block);
        return;
    }
    pool(block);
}

void SnarlGlobalPool::DestroyBlock(SnarlGlobalBlock* block)
{
    // A dequeue that began before the block was taken may still read its link; one that begins
    // later cannot see it. Unmapping waits for a moment with none in flight.
    while (fDequeuesInFlight.load() != 0) {
        std::this_thread::yield();
    }
    SnarlGlobalBlock::Destroy(block);
}

void SnarlGlobalPool::pool(SnarlGlobalBlock* block)
{
    // Counted first, so the count never falls below the blocks queued.
    ++fCount;
    OSAtomicEnqueue(&fQueue, block, offsetof(SnarlGlobalBlock, link));
}
