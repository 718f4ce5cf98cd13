#pragma once

// Zero-filled, page-aligned memory the descriptor owns, shareable with user space.

#include <IOKit/IOMemoryDescriptor.h>

inline namespace kernel {

struct IOBufferMemoryDescriptorBacking;

class IOBufferMemoryDescriptor : public IOMemoryDescriptor
{
    OSDeclareDefaultStructors(IOBufferMemoryDescriptor)

        public :
        // `alignment` and `physicalMask` are met by page alignment here; null when the memory cannot be
        // had.
        static IOBufferMemoryDescriptor* inTaskWithOptions(task_t inTask, IOOptionBits options,
                                                           vm_size_t capacity, vm_offset_t alignment = 1);
    static IOBufferMemoryDescriptor* inTaskWithPhysicalMask(task_t inTask, IOOptionBits options,
                                                            vm_size_t capacity, uint64_t physicalMask);
    static IOBufferMemoryDescriptor* withCapacity(vm_size_t capacity, IOOptionBits direction);

    void* getBytesNoCopy() const;
    IOByteCount getLength() const override;
    void* getKernelAddress() const override { return getBytesNoCopy(); }

    void free() override;

private:
    friend struct IOMemoryDescriptorAccess;
    IOBufferMemoryDescriptorBacking* fBacking = nullptr;
};

} // namespace kernel
