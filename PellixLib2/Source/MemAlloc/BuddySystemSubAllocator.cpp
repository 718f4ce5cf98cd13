#include "MemAlloc/BuddySystemSubAllocator.h"

#include "MemAlloc/SizeTable.h"
#include "MemAlloc/SnarlAllocator.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kMinArenaSize = 16000;
constexpr size_t kMaxArenaSize = 65536;

size_t roundUpTo4(size_t size)
{
    return (size + 3) & ~size_t(3);
}

SnarlGlobalBlock* largeBlockOf(SnarlAllocation* header)
{
    return SnarlGlobalBlock::Convert(header);
}

} // namespace

BuddySystemSubAllocator::BuddySystemSubAllocator(SnarlAllocator& allocator)
    : fAllocator(allocator), fHeap(allocator, 0, kMinArenaSize, kMaxArenaSize)
{
    ++fAllocator.fSubAllocators;
}

BuddySystemSubAllocator::~BuddySystemSubAllocator()
{
    ConsumeStack();
    --fAllocator.fSubAllocators;
}

void* BuddySystemSubAllocator::Allocate(size_t size)
{
    ConsumeStack();
    // As malloc, refuse what no object may span; below that, rounding and the headers cannot wrap.
    if (size > size_t(PTRDIFF_MAX)) {
        return nullptr;
    }
    const size_t rounded = roundUpTo4(size);
    if (rounded > kLargeThreshold) {
        SnarlGlobalBlock* block = fAllocator.DemandBlock(roundUpTo4(size + sizeof(SnarlAllocation)));
        if (block == nullptr) {
            return nullptr;
        }
        ++fLargeAllocations;
        auto* header = static_cast<SnarlAllocation*>(block->Payload());
        Stamp(header, SnarlAllocation::kLargeMagic);
        return header->UserPointer();
    }
    BuddyBlock* block = fHeap.Allocate(rounded);
    if (block == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<SnarlAllocation*>(block);
    Stamp(header, SnarlAllocation::kBuddyMagic);
    return header->UserPointer();
}

void BuddySystemSubAllocator::Deallocate(void* p)
{
    if (SnarlAllocation* own = TakeBack(p)) {
        ReclaimAllocation(own);
    }
    ConsumeStack();
}

void* BuddySystemSubAllocator::Reallocate(void* p, size_t size)
{
    SnarlAllocation* header = p != nullptr ? Recognise(p) : nullptr;
    if (header == nullptr) {
        return std::realloc(p, size);
    }
    const size_t payload = GetBlockSize(header);
    if (payload >= size) {
        return p;
    }
    void* moved = Allocate(size);
    if (moved == nullptr) {
        return nullptr;
    }
    std::memcpy(moved, p, payload);
    Deallocate(p);
    return moved;
}

void BuddySystemSubAllocator::ConsumeStack()
{
    while (SnarlAllocation* header = DequeueRemoteFree()) {
        ReclaimAllocation(header);
    }
}

void BuddySystemSubAllocator::ReclaimAllocation(SnarlAllocation* header)
{
    if (BuddyBlock* block = AllocationToBuddyBlock(header)) {
        block->SetInUse(false);
        static_cast<FreeBuddyBlock*>(block)->Free(fHeap);
        return;
    }
    fAllocator.DestroyBlock(largeBlockOf(header));
    --fLargeAllocations;
}

size_t BuddySystemSubAllocator::GetBlockSize(SnarlAllocation* header)
{
    if (BuddyBlock* block = AllocationToBuddyBlock(header)) {
        return GetGlobalSizeTable().sizes[block->SizeClass()] - sizeof(SnarlAllocation);
    }
    return largeBlockOf(header)->size - sizeof(SnarlAllocation);
}

BuddyBlock* BuddySystemSubAllocator::AllocationToBuddyBlock(SnarlAllocation* header)
{
    return header->magic == SnarlAllocation::kBuddyMagic ? reinterpret_cast<BuddyBlock*>(header) : nullptr;
}

size_t BuddySystemSubAllocator::RequestedToActualSize(size_t size)
{
    const size_t rounded = roundUpTo4(size);
    if (rounded > kLargeThreshold) {
        return rounded;
    }
    const SizeTable& table = GetGlobalSizeTable();
    return table.sizes[table.CeilingIndex(rounded + sizeof(SnarlAllocation))] - sizeof(SnarlAllocation);
}

bool BuddySystemSubAllocator::AllowDestruction() const
{
    return fHeap.TotalBytes() == 0 && fLargeAllocations == 0;
}

std::vector<void*> BuddySystemSubAllocator::EmptyHeap()
{
    std::vector<void*> pointers;
    pointers.reserve(100000);
    for (BuddyBlock* block : fHeap.EmptyHeap()) {
        auto* header = reinterpret_cast<SnarlAllocation*>(block);
        Stamp(header, SnarlAllocation::kBuddyMagic);
        pointers.push_back(header->UserPointer());
    }
    return pointers;
}
