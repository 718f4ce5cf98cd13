#pragma once

// A user-space client's connection to a service: the legacy method table (struct in, struct out,
// sizes checked exactly before the method is called), shared memory and a notification port.

#include <IOKit/IOMemoryDescriptor.h>
#include <IOKit/IOService.h>

#include <atomic>

inline namespace kernel {

typedef IOReturn (IOService::*IOMethod)(void* p1, void* p2, void* p3, void* p4, void* p5, void* p6);

enum : IOOptionBits
{
    kIOUCTypeMask = 0x0000000f,
    kIOUCScalarIScalarO = 0,
    kIOUCScalarIStructO = 2,
    kIOUCStructIStructO = 3,
    kIOUCScalarIStructI = 4,
};

// One entry of the legacy table. A struct-in/struct-out method is called as
// (input, output, input size, &output size, null, null) on the thread of the client's call.
struct IOExternalMethod
{
    IOService* object;
    IOMethod func;
    IOOptionBits flags;
    IOByteCount count0;
    IOByteCount count1;
};

class IOUserClient : public IOService
{
    OSDeclareDefaultStructors(IOUserClient)

        public : virtual bool initWithTask(task_t owningTask, void* securityToken, UInt32 type,
                                           OSDictionary* properties);
    virtual bool initWithTask(task_t owningTask, void* securityToken, UInt32 type);

    // The client closed its connection (or died); the user client usually terminates itself.
    virtual IOReturn clientClose();
    virtual IOReturn clientDied();

    // The table entry of a selector and its target; null for a selector with no method.
    virtual IOExternalMethod* getTargetAndMethodForIndex(IOService** targetP, UInt32 index);
    virtual IOReturn registerNotificationPort(mach_port_t port, UInt32 type, UInt32 refCon);
    // The memory of a type, retained for the caller, and its map options.
    virtual IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory);

    // The legacy dispatch: kIOReturnUnsupported without an entry, kIOReturnBadArgument for another
    // method type or a size that is not exactly the entry's.
    IOReturn callStructMethod(UInt32 selector, const void* input, IOByteCount inputSize, void* output,
                              IOByteCount* outputSize);

    task_t getOwningTask() const { return fOwningTask; }

private:
    friend struct IOUserClientAccess;
    task_t fOwningTask = nullptr;
    // The client's connection has closed: nothing holds the client attached any more.
    std::atomic<bool> fConnectionClosed{false};
};

} // namespace kernel
