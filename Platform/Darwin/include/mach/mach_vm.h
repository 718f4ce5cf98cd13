#pragma once

// Virtual memory with 64-bit addresses and sizes, and the region query.

#include <mach/vm_types.h>

__BEGIN_DECLS

kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t* address, mach_vm_size_t size, int flags);
kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size);

// Answers the first mapping whose end lies above *address: its start, size and basic information
// (VM_REGION_BASIC_INFO_64, *count at least VM_REGION_BASIC_INFO_COUNT_64), or
// KERN_INVALID_ADDRESS when there is none.
kern_return_t mach_vm_region(task_t task, mach_vm_address_t* address, mach_vm_size_t* size,
                             vm_region_flavor_t flavor, vm_region_info_t info, mach_msg_type_number_t* count,
                             mach_port_t* object_name);

// The same query with the address-sized types.
kern_return_t vm_region_64(task_t task, vm_address_t* address, vm_size_t* size, vm_region_flavor_t flavor,
                           vm_region_info_t info, mach_msg_type_number_t* count, mach_port_t* object_name);

__END_DECLS
