#include "MemAlloc/DumbSubAllocator.h"

#include "MemAlloc/SnarlGlobalPool.h"

#include <cstdlib>
#include <new>

const uint32_t DumbSubAllocator::kMaxEntries = SnarlGlobalBlock::kPooledSize / sizeof(Entry);

DumbSubAllocator::DumbSubAllocator(SnarlGlobalPool& pool)
    : fPool(pool), fTable(pool.DemandBlock(SnarlGlobalBlock::kPooledSize))
{
    if (fTable == nullptr) {
        throw std::bad_alloc();
    }
}

DumbSubAllocator::~DumbSubAllocator()
{
    ConsumeStack();
    for (int32_t i = 0; i < fCount; ++i) {
        if (entries()[i].block != nullptr && entries()[i].live == 0) {
            fPool.ReturnBlock(entries()[i].block);
        }
    }
    fPool.ReturnBlock(fTable);
}

DumbSubAllocator::Entry* DumbSubAllocator::entries() const
{
    return static_cast<Entry*>(fTable->Payload());
}

void* DumbSubAllocator::Allocate(size_t size)
{
    ConsumeStack();
    // The step, header included and rounded to 4, must fit the entries' 32-bit counts.
    constexpr size_t kOverhead = sizeof(SnarlAllocation) + 3;
    if (size > UINT32_MAX - kOverhead) {
        return nullptr;
    }
    const uint32_t step = uint32_t((size + kOverhead) & ~size_t(3));
    int32_t emptySlot = fCount;
    for (int32_t i = fCount - 1; i >= 0; --i) {
        Entry& entry = entries()[i];
        if (entry.block == nullptr) {
            emptySlot = i;
        } else if (void* memory = GetAllocatedMemory(entry, step)) {
            return memory;
        }
    }
    if (emptySlot == fCount && uint32_t(fCount) == kMaxEntries) {
        return nullptr;
    }
    SnarlGlobalBlock* block = fPool.DemandBlock(step);
    if (block == nullptr) {
        return nullptr;
    }
    if (emptySlot == fCount) {
        ++fCount;
    }
    entries()[emptySlot] = Entry{block, 0, 0};
    return GetAllocatedMemory(entries()[emptySlot], step);
}

void* DumbSubAllocator::GetAllocatedMemory(Entry& entry, uint32_t step)
{
    if (entry.block->size - entry.used < step) {
        return nullptr;
    }
    auto* header =
        reinterpret_cast<SnarlAllocation*>(static_cast<uint8_t*>(entry.block->Payload()) + entry.used);
    Stamp(header, SnarlAllocation::kLargeMagic);
    entry.used += step;
    ++entry.live;
    return header->UserPointer();
}

void DumbSubAllocator::Deallocate(void* p)
{
    if (SnarlAllocation* own = TakeBack(p)) {
        ReclaimAllocation(own);
    }
    ConsumeStack();
}

void DumbSubAllocator::ConsumeStack()
{
    while (SnarlAllocation* header = DequeueRemoteFree()) {
        ReclaimAllocation(header);
    }
}

void DumbSubAllocator::ReclaimAllocation(SnarlAllocation* header)
{
    auto* address = reinterpret_cast<uint8_t*>(header);
    for (int32_t i = 0; i < fCount; ++i) {
        Entry& entry = entries()[i];
        if (entry.block == nullptr) {
            continue;
        }
        auto* payload = static_cast<uint8_t*>(entry.block->Payload());
        if (address >= payload && address < payload + entry.block->size) {
            if (--entry.live == 0) {
                releaseEntry(i);
            }
            return;
        }
    }
}

void DumbSubAllocator::releaseEntry(int32_t index)
{
    fPool.ReturnBlock(entries()[index].block);
    entries()[index] = Entry{nullptr, 0, 0};
    // The count covers the highest entry that still holds a block.
    while (fCount > 0 && entries()[fCount - 1].block == nullptr) {
        --fCount;
    }
}
