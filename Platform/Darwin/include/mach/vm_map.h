#pragma once

// Page-granular virtual memory of the task.

#include <mach/vm_types.h>

__BEGIN_DECLS

// Maps zero-filled pages of `size` rounded up to whole pages: anywhere with VM_FLAGS_ANYWHERE,
// else at *address only when that range is free (KERN_NO_SPACE otherwise).
kern_return_t vm_allocate(task_t task, vm_address_t* address, vm_size_t size, int flags);

// Unmaps the page-rounded range; size 0 succeeds.
kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size);

__END_DECLS
