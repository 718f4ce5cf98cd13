#include "MemAlloc/SnarlVorkAllocator.h"

#include "MemAlloc/SnarlAllocator.h"

#include <CoreFoundation/CFUUID.h>

#include <cstring>

IVorkAllocator* gGlobalVorkAllocator = new SnarlVorkAllocator;

namespace {

bool sameUUID(const CFUUIDBytes& a, CFUUIDRef b)
{
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(b);
    return std::memcmp(&a, &bytes, sizeof bytes) == 0;
}

} // namespace

HRESULT SnarlVorkAllocator::QueryInterface(CFUUIDBytes iid, void** out)
{
    if (sameUUID(iid, IUnknownUUID) || sameUUID(iid, kIVorkAllocatorUUID)) {
        AddRef();
        *out = this;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG SnarlVorkAllocator::AddRef()
{
    return ++fRefCount;
}

ULONG SnarlVorkAllocator::Release()
{
    const ULONG count = --fRefCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

void* SnarlVorkAllocator::allocate(int size)
{
    return SnarlAllocator::Instance().Allocate(size_t(size));
}

void* SnarlVorkAllocator::reallocate(void* p, int size)
{
    return SnarlAllocator::Instance().Reallocate(p, size_t(size));
}

void SnarlVorkAllocator::deallocate(void* p)
{
    SnarlAllocator::Instance().Deallocate(p);
}
