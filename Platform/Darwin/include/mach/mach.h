#pragma once

// The Mach interfaces of the task: ports and messages, semaphores, thread policies and virtual
// memory.

#include <mach/boolean.h>
#include <mach/kern_return.h>
#include <mach/mach_init.h>
#include <mach/mach_port.h>
#include <mach/mach_types.h>
#include <mach/message.h>
#include <mach/semaphore.h>
#include <mach/thread_policy.h>
#include <mach/vm_map.h>
