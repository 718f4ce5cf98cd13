#include "Names.h"
#include "PortSpace.h"

#include <Darwin/PortObserver.h>
#include <mach/mach_port.h>

using Darwin::PortSpace;

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name)
{
    if (task != Darwin::kTaskName || !name) {
        return KERN_INVALID_ARGUMENT;
    }
    if (right != MACH_PORT_RIGHT_RECEIVE) {
        return KERN_INVALID_VALUE;
    }
    *name = PortSpace::instance().allocate();
    return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t poly_poly)
{
    if (task != Darwin::kTaskName) {
        return KERN_INVALID_ARGUMENT;
    }
    // The task holds every receive right, so the only right to insert is a send right made from
    // one, under the port's own name.
    if (name != poly || poly_poly != MACH_MSG_TYPE_MAKE_SEND) {
        return KERN_INVALID_VALUE;
    }
    return PortSpace::instance().insertSendRight(name);
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name)
{
    if (task != Darwin::kTaskName) {
        return KERN_INVALID_ARGUMENT;
    }
    return PortSpace::instance().deallocate(name);
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta)
{
    if (task != Darwin::kTaskName) {
        return KERN_INVALID_ARGUMENT;
    }
    return PortSpace::instance().modifyReferences(name, right, delta);
}

kern_return_t mach_port_destroy(task_t task, mach_port_name_t name)
{
    if (task != Darwin::kTaskName) {
        return KERN_INVALID_ARGUMENT;
    }
    return PortSpace::instance().destroy(name);
}

kern_return_t DarwinPorts::setArrivalObserver(mach_port_t port, std::function<void()> observer)
{
    std::shared_ptr<Darwin::Port> found = PortSpace::instance().find(port);
    if (!found) {
        return KERN_INVALID_NAME;
    }
    found->setArrivalObserver(std::move(observer));
    return KERN_SUCCESS;
}
