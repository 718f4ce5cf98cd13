#include "MemAlloc/SnarlGlobalPool.h"

#include <cstddef>

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
    auto* block = static_cast<SnarlGlobalBlock*>(OSAtomicDequeue(&fQueue, offsetof(SnarlGlobalBlock, link)));
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

void SnarlGlobalPool::pool(SnarlGlobalBlock* block)
{
    // Counted first, so the count never falls below the blocks queued.
    ++fCount;
    OSAtomicEnqueue(&fQueue, block, offsetof(SnarlGlobalBlock, link));
}
