#include "Failures.h"

#include <IOKit/IOUserClient.h>

OSDefineMetaClassAndStructors(IOUserClient, IOService)
#define super IOService

    bool IOUserClient::initWithTask(task_t owningTask, void*, UInt32, OSDictionary* properties)
{
    if (KernelIOKitPlatform::creationFails() || !super::init(properties)) {
        return false;
    }
    fOwningTask = owningTask;
    return true;
}

bool IOUserClient::initWithTask(task_t owningTask, void* securityToken, UInt32 type)
{
    return initWithTask(owningTask, securityToken, type, nullptr);
}

IOReturn IOUserClient::clientClose()
{
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::clientDied()
{
    return clientClose();
}

IOExternalMethod* IOUserClient::getTargetAndMethodForIndex(IOService**, UInt32)
{
    return nullptr;
}

IOReturn IOUserClient::registerNotificationPort(mach_port_t, UInt32, UInt32)
{
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::clientMemoryForType(UInt32, IOOptionBits*, IOMemoryDescriptor**)
{
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::callStructMethod(UInt32 selector, const void* input, IOByteCount inputSize,
                                        void* output, IOByteCount* outputSize)
{
    IOService* target = nullptr;
    IOExternalMethod* method = getTargetAndMethodForIndex(&target, selector);
    if (!method || !method->func) {
        return kIOReturnUnsupported;
    }
    if (method->object) {
        target = method->object;
    }
    const IOByteCount capacity = outputSize ? *outputSize : 0;
    if (!target || (method->flags & kIOUCTypeMask) != kIOUCStructIStructO || inputSize != method->count0 ||
        capacity != method->count1) {
        return kIOReturnBadArgument;
    }
    IOByteCount written = capacity;
    const IOReturn result = (target->*(method->func))(
        const_cast<void*>(input), output, reinterpret_cast<void*>(inputSize), &written, nullptr, nullptr);
    if (outputSize) {
        *outputSize = written < capacity ? written : capacity;
    }
    return result;
}
