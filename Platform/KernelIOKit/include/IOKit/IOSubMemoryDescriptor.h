#pragma once

// A range of another descriptor's bytes; it holds the other descriptor.

#include <IOKit/IOMemoryDescriptor.h>

inline namespace kernel {

class IOSubMemoryDescriptor : public IOMemoryDescriptor
{
    OSDeclareDefaultStructors(IOSubMemoryDescriptor)

        public :
        // Null when the range does not lie within the parent.
        static IOSubMemoryDescriptor* withSubRange(IOMemoryDescriptor* parent, IOByteCount offset,
                                                   IOByteCount length, IOOptionBits options);

    IOByteCount getLength() const override { return fLength; }
    void* getKernelAddress() const override;
    IOMemoryDescriptor* getParent() const { return fParent; }
    IOByteCount getOffset() const { return fOffset; }

    void free() override;

private:
    IOMemoryDescriptor* fParent = nullptr;
    IOByteCount fOffset = 0;
    IOByteCount fLength = 0;
};

} // namespace kernel
