#pragma once

// Ports of this process. Names are never reused; dropping the receive right destroys the port.

#include <mach/message.h>

__BEGIN_DECLS

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t poly_poly);
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
kern_return_t mach_port_destroy(task_t task, mach_port_name_t name);

__END_DECLS
