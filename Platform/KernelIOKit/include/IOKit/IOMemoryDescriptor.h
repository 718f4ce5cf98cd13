#pragma once

// Memory a driver shares: with the device, and with user space through a user client's mappings.

#include <IOKit/IOKernelTypes.h>
#include <libkern/c++/OSObject.h>

inline namespace kernel {

class IOMemoryMap;

enum : IOOptionBits
{
    kIODirectionNone = 0x0,
    kIODirectionIn = 0x1,
    kIODirectionOut = 0x2,
    kIODirectionInOut = kIODirectionIn | kIODirectionOut,
    kIOMemoryKernelUserShared = 0x00010000,
    kIOMapAnywhere = 0x00000001,
};

class IOMemoryDescriptor : public OSObject
{
    OSDeclareAbstractStructors(IOMemoryDescriptor)

        public : virtual IOByteCount getLength() const = 0;
    // The descriptor's bytes in the kernel, or null.
    virtual void* getKernelAddress() const = 0;

    IOByteCount readBytes(IOByteCount offset, void* bytes, IOByteCount length) const;
    IOByteCount writeBytes(IOByteCount offset, const void* bytes, IOByteCount length);

    // Wiring for the device: nothing to do here.
    virtual IOReturn prepare(IOOptionBits direction = kIODirectionNone);
    virtual IOReturn complete(IOOptionBits direction = kIODirectionNone);

    // A new kernel mapping of the bytes at an address of its own; null when it cannot be made.
    IOMemoryMap* map(IOOptionBits options = kIOMapAnywhere);
};

// A mapping; releasing its last reference unmaps it. It keeps the bytes alive on its own.
class IOMemoryMap : public OSObject
{
    OSDeclareDefaultStructors(IOMemoryMap)

        public : IOVirtualAddress getVirtualAddress() const
    {
        return IOVirtualAddress(reinterpret_cast<uintptr_t>(fAddress));
    }
    IOByteCount getLength() const { return fLength; }
    void* getAddress() const { return fAddress; }

    void free() override;

private:
    friend class IOMemoryDescriptor;
    void* fAddress = nullptr;
    IOByteCount fLength = 0;
};

} // namespace kernel
