#pragma once

// A connection object a service creates for a user-space client. The platform runs ExternalMethod
// and CopyClientMemoryForType on the client's Default queue.

#include <DriverKit/IOMemoryDescriptor.h>
#include <DriverKit/IOService.h>
#include <DriverKit/OSAction.h>
#include <DriverKit/OSData.h>

struct IOUserClientMethodArguments
{
    uint64_t selector;
    OSAction* completion;
    const uint64_t* scalarInput;
    uint32_t scalarInputCount;
    OSData* structureInput;
    IOMemoryDescriptor* structureInputDescriptor;
    uint64_t* scalarOutput;
    uint32_t scalarOutputCount;
    OSData* structureOutput;
    uint64_t structureOutputMaximumSize;
    IOMemoryDescriptor* structureOutputDescriptor;
};

typedef kern_return_t (*IOUserClientMethodFunction)(OSObject* target, void* reference,
                                                    IOUserClientMethodArguments* arguments);

struct IOUserClientMethodDispatch
{
    IOUserClientMethodFunction function;
    uint32_t checkCompletionExists;
    uint32_t checkScalarInputCount;
    uint32_t checkStructureInputSize;
    uint32_t checkScalarOutputCount;
    uint32_t checkStructureOutputSize;
};

constexpr uint32_t kIOUserClientVariableStructureSize = 0xFFFFFFFF;

class IOUserClient : public IOService
{
public:
    // The system's part calls `dispatch` after checking its counts and sizes; without one it
    // answers kIOReturnUnsupported.
    virtual kern_return_t ExternalMethod(uint64_t selector, IOUserClientMethodArguments* arguments,
                                         const IOUserClientMethodDispatch* dispatch, OSObject* target,
                                         void* reference);

    // The system's part has no memory: kIOReturnUnsupported.
    virtual kern_return_t CopyClientMemoryForType(uint64_t type, uint64_t* options,
                                                  IOMemoryDescriptor** memory);

    // Queues `action`'s handler with `status` and up to 16 values on the action's queue; never runs it
    // inline.
    void AsyncCompletion(OSAction* action, IOReturn status, const uint64_t* asyncData,
                         uint32_t asyncDataCount);
};
