#pragma once

#include <mach/mach_types.h>

namespace Darwin {

// The name of the one task, which every call that takes a task expects.
constexpr mach_port_t kTaskName = 0x103;

// A fresh name for a port, a semaphore or a thread. Names share one space and are never reused.
mach_port_t newName();

} // namespace Darwin
