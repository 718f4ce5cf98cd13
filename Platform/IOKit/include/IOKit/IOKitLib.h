#pragma once

// User-space IOKit: registry handles, matching and notifications, and user-client connections.
//
// The registry is shared by every layer of the process (the kernel, driver-extension and USB
// layers create and publish its entries). Every call may be made from any thread.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/IOTypes.h>
#include <dispatch/dispatch.h>
#include <mach/mach.h>

typedef struct IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, uint32_t messageType,
                                          void* messageArgument);

#define kIOProviderClassKey "IOProviderClass"

#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOPublishNotification "IOServicePublish"
#define kIOMatchedNotification "IOServiceMatched"
#define kIOTerminatedNotification "IOServiceTerminate"

__BEGIN_DECLS

extern const mach_port_t kIOMainPortDefault;
// The older name of the same port.
extern const mach_port_t kIOMasterPortDefault;

// Handles. A handle value stays the same while any reference to it exists and is freed when its
// count reaches 0; releasing a notification iterator ends the notification.
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);
uint32_t IOObjectGetUserRetainCount(io_object_t object);

// Iterators. Each object IOIteratorNext answers carries a reference for the caller; 0 at the end.
// On a notification iterator, an IOIteratorNext that answers 0 arms the notification: its callback
// is called again once something new arrives. Resetting a notification iterator does not hand out
// again what it gave.
io_object_t IOIteratorNext(io_iterator_t iterator);
boolean_t IOIteratorIsValid(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);

// Matching. {"IOProviderClass": name} matches entries of that class, its subclasses, and of the
// classes an alias names; every further key matches a registry property of equal value. Both calls
// below consume the dictionary.
CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);

// Notifications. The publish and matched kinds start with the matching services already published,
// the terminate kind starts empty; none fires until its iterator has been drained. A publish or
// matched iterator skips a service that has terminated before it is handed out. Callbacks run one
// at a time and in registry order, on the thread whose loop holds the port's run-loop source (in the
// modes it was added in) or on the port's dispatch queue.
IONotificationPortRef IONotificationPortCreate(mach_port_t mainPort);
// No callback starts once this has returned; it waits for one in progress on another thread, so
// the caller must not hold anything that callback waits for. Called from inside a callback of the
// port, it returns at once and the port delivers nothing more.
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue);

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification);

// Registry. Properties may change after publication and stay readable through a held handle after
// termination.
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);
kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator);

// User clients. A service without a provider for the type answers kIOReturnUnsupported. Once the
// service has terminated, every call on the connection fails with kIOReturnNoDevice; mappings stay
// until unmapped or the connection is closed.
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt);
// Maps the connection's memory of `memoryType` MAP_SHARED at a fresh address (kIOMapAnywhere only).
// A region of length 0 maps nothing: address 0, size 0.
kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_port_t intoTask,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize,
                                   IOOptionBits options);
kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_port_t fromTask,
                                     mach_vm_address_t atAddress);
kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t type, mach_port_t port,
                                           uintptr_t reference);

__END_DECLS
