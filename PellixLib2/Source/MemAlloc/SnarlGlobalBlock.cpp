#include "MemAlloc/SnarlGlobalBlock.h"

#include "MemAlloc/OSPage.h"

#include <mach/mach.h>

uint64_t SnarlGlobalBlock::MappedSize(uint64_t size)
{
    return (size + sizeof(SnarlGlobalBlock) + kOSPageSize - 1) & kOSPageMask;
}

SnarlGlobalBlock* SnarlGlobalBlock::Make(uint64_t size)
{
    vm_address_t address = 0;
    if (vm_allocate(mach_task_self(), &address, MappedSize(size), VM_FLAGS_ANYWHERE) != KERN_SUCCESS) {
        return nullptr;
    }
    auto* block = reinterpret_cast<SnarlGlobalBlock*>(address);
    block->link = nullptr;
    block->size = size;
    return block;
}

void SnarlGlobalBlock::Destroy(SnarlGlobalBlock* block)
{
    if (block != nullptr) {
        vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(block), MappedSize(block->size));
    }
}
