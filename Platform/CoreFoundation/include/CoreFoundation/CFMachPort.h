#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFRunLoop.h>
#include <mach/message.h>

// A Mach receive right served by a run loop: each message that arrives on the port is handed to
// the callout on the thread whose loop holds the port's source, once and in the order sent.

typedef struct __CFMachPort* CFMachPortRef;

typedef struct
{
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
} CFMachPortContext;

// `msg` is valid during the call; `size` is the number of bytes sent.
typedef void (*CFMachPortCallBack)(CFMachPortRef port, void* msg, CFIndex size, void* info);

CF_EXPORT CFTypeID CFMachPortGetTypeID(void);

// A new receive right with a send right.
CF_EXPORT CFMachPortRef CFMachPortCreate(CFAllocatorRef allocator, CFMachPortCallBack callout,
                                         CFMachPortContext* context, Boolean* shouldFreeInfo);
// For an existing receive right, which the port then owns.
CF_EXPORT CFMachPortRef CFMachPortCreateWithPort(CFAllocatorRef allocator, mach_port_t portNum,
                                                 CFMachPortCallBack callout, CFMachPortContext* context,
                                                 Boolean* shouldFreeInfo);
CF_EXPORT mach_port_t CFMachPortGetPort(CFMachPortRef port);
CF_EXPORT void CFMachPortGetContext(CFMachPortRef port, CFMachPortContext* context);
// Destroys the receive right (later sends get MACH_SEND_INVALID_DEST, queued messages are
// dropped) and takes the port's source out of its loops.
CF_EXPORT void CFMachPortInvalidate(CFMachPortRef port);
CF_EXPORT Boolean CFMachPortIsValid(CFMachPortRef port);
// The port's one source; each call answers it with a new reference.
CF_EXPORT CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef allocator, CFMachPortRef port,
                                                           CFIndex order);
