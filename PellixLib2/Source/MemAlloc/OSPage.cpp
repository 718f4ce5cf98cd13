#include "OSPage.h"

#include <mach/mach.h>
#include <mach/mach_vm.h>

uint64_t kOSPageSize;
uint64_t kOSPageMask;

namespace {

// Priority 101 runs before every other static initialiser of the library.
__attribute__((constructor(101))) void setPageConstants()
{
    kOSPageSize = vm_page_size;
    kOSPageMask = ~(kOSPageSize - 1);
}

} // namespace

bool IsOnPageBoundary(void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & ~kOSPageMask) == 0;
}

bool CanAccessPrecedingBytes(void* p, std::size_t n)
{
    const vm_address_t wanted = reinterpret_cast<uintptr_t>(p) - n;
    vm_address_t address = wanted;
    vm_size_t size = 0;
    vm_region_basic_info_data_64_t info;
    mach_msg_type_number_t count = VM_REGION_BASIC_INFO_COUNT_64;
    mach_port_t object = MACH_PORT_NULL;
    const kern_return_t result = vm_region_64(mach_task_self(), &address, &size, VM_REGION_BASIC_INFO_64,
                                              reinterpret_cast<vm_region_info_t>(&info), &count, &object);
    // The region found may start above the address: then the address lies in a gap.
    return result == KERN_SUCCESS && size != 0 && (info.protection & VM_PROT_READ) != 0 && address <= wanted;
}
