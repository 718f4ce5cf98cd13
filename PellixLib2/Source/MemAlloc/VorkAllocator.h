#pragma once

// The block allocator behind a COM-style interface identified by UUID.

#include <CoreFoundation/CFPlugInCOM.h>

namespace VorkCOM {

class IVorkUnknown
{
public:
    virtual void _reserved_() {}
    // The IUnknown identifier and every interface the object implements give the object, with a
    // reference added; any other gives null and E_NOINTERFACE.
    virtual HRESULT QueryInterface(CFUUIDBytes iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IVorkUnknown() = default;
};

} // namespace VorkCOM

// CE814EF9-5FCF-4D84-8766-6500EB801132
#define kIVorkAllocatorUUID                                                                                  \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xCE, 0x81, 0x4E, 0xF9, 0x5F, 0xCF, 0x4D, 0x84, 0x87, 0x66,      \
                                   0x65, 0x00, 0xEB, 0x80, 0x11, 0x32)

class IVorkAllocator : public VorkCOM::IVorkUnknown
{
public:
    virtual void* allocate(int size) = 0;
    virtual void* reallocate(void* p, int size) = 0;
    virtual void deallocate(void* p) = 0;

protected:
    ~IVorkAllocator() = default;
};

// Made during the library's static initialisation, with one reference.
extern IVorkAllocator* gGlobalVorkAllocator;
