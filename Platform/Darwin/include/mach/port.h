#pragma once

// Port rights.

#include <mach/mach_types.h>

typedef natural_t mach_port_right_t;
typedef integer_t mach_port_delta_t;

#define MACH_PORT_RIGHT_SEND ((mach_port_right_t)0)
#define MACH_PORT_RIGHT_RECEIVE ((mach_port_right_t)1)
#define MACH_PORT_RIGHT_SEND_ONCE ((mach_port_right_t)2)
#define MACH_PORT_RIGHT_PORT_SET ((mach_port_right_t)3)
#define MACH_PORT_RIGHT_DEAD_NAME ((mach_port_right_t)4)

// Messages a port holds before senders wait.
#define MACH_PORT_QLIMIT_DEFAULT 5
