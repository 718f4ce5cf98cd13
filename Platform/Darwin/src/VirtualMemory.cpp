#include "InjectedFault.h"
#include "Names.h"

#include <mach/mach_init.h>
#include <mach/mach_vm.h>
#include <mach/vm_map.h>

#include <sys/mman.h>
#include <unistd.h>

vm_size_t vm_page_size = vm_size_t(sysconf(_SC_PAGESIZE));
vm_size_t vm_page_mask = vm_page_size - 1;

namespace {

kern_return_t allocate(task_t task, uint64_t* address, uint64_t size, int flags)
{
    if (task != Darwin::kTaskName || !address) {
        return KERN_INVALID_ARGUMENT;
    }
    if (kern_return_t fault = Darwin::vmAllocateFault().take(); fault != KERN_SUCCESS) {
        return fault;
    }
    if (size == 0) {
        *address = 0;
        return KERN_SUCCESS;
    }
    if (size > UINT64_MAX - vm_page_mask) {
        return KERN_NO_SPACE;
    }
    uint64_t length = (size + vm_page_mask) & ~uint64_t(vm_page_mask);
    void* wanted = nullptr;
    int mapping = MAP_PRIVATE | MAP_ANONYMOUS;
    if (!(flags & VM_FLAGS_ANYWHERE)) {
        wanted = reinterpret_cast<void*>(*address & ~uint64_t(vm_page_mask));
        mapping |= MAP_FIXED_NOREPLACE;
    }
    void* mapped = mmap(wanted, length, PROT_READ | PROT_WRITE, mapping, -1, 0);
    if (mapped == MAP_FAILED) {
        return KERN_NO_SPACE;
    }
    // Kernels before MAP_FIXED_NOREPLACE take it as a hint and may map elsewhere.
    if (wanted && mapped != wanted) {
        munmap(mapped, length);
        return KERN_NO_SPACE;
    }
    *address = reinterpret_cast<uintptr_t>(mapped);
    return KERN_SUCCESS;
}

kern_return_t deallocate(task_t task, uint64_t address, uint64_t size)
{
    if (task != Darwin::kTaskName) {
        return KERN_INVALID_ARGUMENT;
    }
    if (size == 0) {
        return KERN_SUCCESS;
    }
    if (address > UINT64_MAX - vm_page_mask || size > UINT64_MAX - vm_page_mask - address) {
        return KERN_INVALID_ARGUMENT;
    }
    uint64_t start = address & ~uint64_t(vm_page_mask);
    uint64_t end = (address + size + vm_page_mask) & ~uint64_t(vm_page_mask);
    return munmap(reinterpret_cast<void*>(start), end - start) == 0 ? KERN_SUCCESS : KERN_INVALID_ARGUMENT;
}

} // namespace

kern_return_t vm_allocate(task_t task, vm_address_t* address, vm_size_t size, int flags)
{
    if (!address) {
        return KERN_INVALID_ARGUMENT;
    }
    uint64_t wide = *address;
    kern_return_t result = allocate(task, &wide, size, flags);
    if (result == KERN_SUCCESS) {
        *address = vm_address_t(wide);
    }
    return result;
}

kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size)
{
    return deallocate(task, address, size);
}

kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t* address, mach_vm_size_t size, int flags)
{
    return allocate(task, address, size, flags);
}

kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size)
{
    return deallocate(task, address, size);
}
