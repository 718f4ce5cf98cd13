#pragma once

// The calling task and thread, and the page size.

#include <mach/mach_types.h>

__BEGIN_DECLS

mach_port_t mach_task_self(void);

// The calling thread's name; the same one pthread_mach_thread_np(pthread_self()) gives.
mach_port_t mach_thread_self(void);

extern vm_size_t vm_page_size;
extern vm_size_t vm_page_mask;

__END_DECLS
