#pragma once

// The library's IVorkAllocator: the process-wide block allocator's own allocation calls.

#include "MemAlloc/VorkAllocator.h"

#include <cstdint>

class SnarlVorkAllocator final : public IVorkAllocator
{
public:
    HRESULT QueryInterface(CFUUIDBytes iid, void** out) override;
    // Plain counts: the object is used from one thread.
    ULONG AddRef() override;
    // Deletes the object when the count reaches 0.
    ULONG Release() override;

    void* allocate(int size) override;
    void* reallocate(void* p, int size) override;
    void deallocate(void* p) override;

private:
    ~SnarlVorkAllocator() = default;

    uint32_t fRefCount = 1;
};
