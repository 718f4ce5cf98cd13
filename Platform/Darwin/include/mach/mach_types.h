#pragma once

// The basic Mach types: integers of the Mach interfaces, port names and the handles built on them.
// Kernel code (compiled with KERNEL) holds ports as kernel port handles, pointer-sized, where user
// space holds 32-bit names.

#include <stdint.h>
#include <sys/cdefs.h>

#include <mach/kern_return.h>

typedef unsigned int natural_t;
typedef int integer_t;
typedef int boolean_t;

typedef natural_t mach_port_name_t;
#ifdef KERNEL
typedef struct ipc_port* mach_port_t;
typedef struct task* task_t;
#else
typedef mach_port_name_t mach_port_t;
typedef mach_port_t task_t;
#endif
typedef mach_port_t thread_t;
typedef mach_port_t thread_act_t;
typedef mach_port_t semaphore_t;
typedef natural_t mach_msg_type_number_t;

#define MACH_PORT_NULL ((mach_port_t)0)
#ifdef KERNEL
#define MACH_PORT_DEAD ((mach_port_t) ~(uintptr_t)0)
#else
#define MACH_PORT_DEAD ((mach_port_t)~0u)
#endif

typedef uintptr_t vm_offset_t;
typedef uintptr_t vm_address_t;
typedef uintptr_t vm_size_t;
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uint64_t mach_vm_offset_t;
