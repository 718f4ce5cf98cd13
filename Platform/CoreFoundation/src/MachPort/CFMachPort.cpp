#include "MachPort.h"

#include "RunLoop/CheckedRef.h"
#include "RunLoop/Source.h"

#include <mach/mach.h>

using CFPlatform::checkedRef;
using CFPlatform::MachPort;
using CFPlatform::refOf;

namespace {

CFMachPortRef createPort(mach_port_t port, CFMachPortCallBack callout, CFMachPortContext* context,
                         Boolean* shouldFreeInfo)
{
    if (shouldFreeInfo) {
        *shouldFreeInfo = false;
    }
    return refOf<CFMachPortRef>(*new MachPort(port, callout, context));
}

} // namespace

CFTypeID CFMachPortGetTypeID(void)
{
    return MachPort::staticTypeID();
}

CFMachPortRef CFMachPortCreate(CFAllocatorRef, CFMachPortCallBack callout, CFMachPortContext* context,
                               Boolean* shouldFreeInfo)
{
    mach_port_t port = MACH_PORT_NULL;
    if (mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port) != KERN_SUCCESS) {
        if (shouldFreeInfo) {
            *shouldFreeInfo = true;
        }
        return nullptr;
    }
    if (mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND) != KERN_SUCCESS) {
        mach_port_destroy(mach_task_self(), port);
        if (shouldFreeInfo) {
            *shouldFreeInfo = true;
        }
        return nullptr;
    }
    return createPort(port, callout, context, shouldFreeInfo);
}

CFMachPortRef CFMachPortCreateWithPort(CFAllocatorRef, mach_port_t portNum, CFMachPortCallBack callout,
                                       CFMachPortContext* context, Boolean* shouldFreeInfo)
{
    return createPort(portNum, callout, context, shouldFreeInfo);
}

mach_port_t CFMachPortGetPort(CFMachPortRef port)
{
    return checkedRef<MachPort>(port, "CFMachPortGetPort").port();
}

void CFMachPortGetContext(CFMachPortRef port, CFMachPortContext* context)
{
    const MachPort& machPort = checkedRef<MachPort>(port, "CFMachPortGetContext");
    if (context) {
        *context = machPort.context();
    }
}

void CFMachPortInvalidate(CFMachPortRef port)
{
    checkedRef<MachPort>(port, "CFMachPortInvalidate").invalidate();
}

Boolean CFMachPortIsValid(CFMachPortRef port)
{
    return checkedRef<MachPort>(port, "CFMachPortIsValid").isValid();
}

CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef port, CFIndex order)
{
    CFPlatform::Source* source =
        checkedRef<MachPort>(port, "CFMachPortCreateRunLoopSource").createSource(order);
    return source ? refOf<CFRunLoopSourceRef>(*source) : nullptr;
}
