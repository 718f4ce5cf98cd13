#pragma once

// The basic Mach types: integers of the Mach interfaces, port names and the handles built on them.

#include <stdint.h>
#include <sys/cdefs.h>

#include <mach/kern_return.h>

typedef unsigned int natural_t;
typedef int integer_t;
typedef int boolean_t;

typedef natural_t mach_port_name_t;
typedef mach_port_name_t mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t thread_t;
typedef mach_port_t thread_act_t;
typedef mach_port_t semaphore_t;
typedef natural_t mach_msg_type_number_t;

#define MACH_PORT_NULL ((mach_port_t)0)
#define MACH_PORT_DEAD ((mach_port_t)~0u)

typedef uintptr_t vm_offset_t;
typedef uintptr_t vm_address_t;
typedef uintptr_t vm_size_t;
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uint64_t mach_vm_offset_t;
