#include "AutoVMBuffer.h"

#include "Basics/Failure.h"

#include <mach/mach.h>

namespace Pellix {

AutoVMBuffer::AutoVMBuffer(unsigned int size) : fSize(size)
{
    vm_address_t address = 0;
    if (vm_allocate(mach_task_self(), &address, size, VM_FLAGS_ANYWHERE) != KERN_SUCCESS || !address) {
        FailMemFullError();
    }
    fBuffer = reinterpret_cast<void*>(address);
}

AutoVMBuffer::~AutoVMBuffer()
{
    if (fBuffer) {
        vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(fBuffer), fSize);
    }
}

} // namespace Pellix
