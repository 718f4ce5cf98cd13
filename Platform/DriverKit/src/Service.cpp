#include "DriverRegistry.h"
#include "Properties.h"
#include "QueueState.h"
#include "ServiceState.h"
#include "UserClientProvider.h"

#include <DriverKit/IOUserClient.h>
#include <DriverKit/OSString.h>

#include <algorithm>
#include <cstring>

namespace DriverKitPlatform {

IODispatchQueue* ServiceState::copyQueue(const char* name)
{
    std::lock_guard guard(lock);
    IODispatchQueue* queue = defaultQueue;
    if (name != nullptr) {
        for (const auto& [installed, candidate] : queues) {
            if (installed == name) {
                queue = candidate;
                break;
            }
        }
    }
    if (queue != nullptr) {
        queue->retain();
    }
    return queue;
}

} // namespace DriverKitPlatform

using DriverKitPlatform::ServiceState;

IOService::IOService() : fState(new ServiceState) {}

bool IOService::init()
{
    return OSObject::init();
}

void IOService::free()
{
    if (fState->userClients) {
        fState->userClients->forget();
    }
    OSSafeReleaseNULL(fState->defaultQueue);
    for (auto& [name, queue] : fState->queues) {
        queue->release();
    }
    OSSafeReleaseNULL(fState->properties);
    for (IOService* child : fState->children) {
        child->release();
    }
    delete fState;
    fState = nullptr;
    OSObject::free();
}

kern_return_t IOService::Start(IOService*)
{
    return kIOReturnSuccess;
}

kern_return_t IOService::Stop(IOService*)
{
    return kIOReturnSuccess;
}

kern_return_t IOService::SetPowerState(uint32_t powerFlags)
{
    std::lock_guard lock(fState->lock);
    fState->powerState = powerFlags;
    return kIOReturnSuccess;
}

kern_return_t IOService::NewUserClient(uint32_t, IOUserClient**)
{
    return kIOReturnUnsupported;
}

kern_return_t IOService::RegisterService()
{
    if (!fState->entry || fState->terminated) {
        return kIOReturnNotAttached;
    }
    fState->entry->registerService();
    return kIOReturnSuccess;
}

kern_return_t IOService::SetProperties(OSDictionary* properties)
{
    if (properties == nullptr) {
        return kIOReturnBadArgument;
    }
    bool stored = true;
    properties->iterateObjects([&](const char* key, OSObject* value) {
        CFTypeRef converted = DriverKitPlatform::copyPropertyValue(value);
        if (converted == nullptr) {
            stored = false;
            return true;
        }
        {
            std::lock_guard lock(fState->lock);
            fState->properties->setObject(key, value);
        }
        CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
        stored = fState->entry->setProperty(name, converted);
        CFRelease(name);
        CFRelease(converted);
        return !stored;
    });
    return stored ? kIOReturnSuccess : kIOReturnBadArgument;
}

kern_return_t IOService::CopyProperties(OSDictionary** properties)
{
    if (properties == nullptr) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(fState->lock);
    OSDictionary* copy = OSDictionary::withCapacity(fState->properties->getCount());
    if (copy == nullptr) {
        return kIOReturnNoMemory;
    }
    fState->properties->iterateObjects([&](const char* key, OSObject* value) {
        copy->setObject(key, value);
        return false;
    });
    *properties = copy;
    return kIOReturnSuccess;
}

kern_return_t IOService::Create(IOService* provider, const char* propertiesKey, IOService** result)
{
    if (provider == nullptr || propertiesKey == nullptr || result == nullptr) {
        return kIOReturnBadArgument;
    }
    OSSharedPtr<OSDictionary> properties;
    {
        std::lock_guard lock(fState->lock);
        properties.reset(OSDynamicCast(OSDictionary, fState->properties->getObject(propertiesKey)), OSRetain);
    }
    const auto* className =
        properties ? OSDynamicCast(OSString, properties->getObject("IOUserClass")) : nullptr;
    if (className == nullptr) {
        return kIOReturnNotFound;
    }
    IOService* created =
        DriverKitPlatform::instantiate(className->getCStringNoCopy(), provider, properties.get());
    if (created == nullptr) {
        return kIOReturnNoMemory;
    }
    if (!DriverKitPlatform::start(created, provider)) {
        created->release();
        return kIOReturnError;
    }
    *result = created;
    return kIOReturnSuccess;
}

kern_return_t IOService::SetDispatchQueue(const char* name, IODispatchQueue* queue)
{
    if (name == nullptr || queue == nullptr) {
        return kIOReturnBadArgument;
    }
    queue->retain();
    {
        std::lock_guard lock(fState->lock);
        if (std::strcmp(name, "Default") == 0) {
            std::swap(fState->defaultQueue, queue);
        } else if (auto installed = std::find_if(fState->queues.begin(), fState->queues.end(),
                                                 [&](const auto& entry) { return entry.first == name; });
                   installed != fState->queues.end()) {
            std::swap(installed->second, queue);
        } else {
            fState->queues.emplace_back(name, queue);
            queue = nullptr;
        }
    }
    // The replaced queue may go with this reference, and its thread may be waiting for this lock.
    if (queue != nullptr) {
        queue->release();
    }
    return kIOReturnSuccess;
}

kern_return_t IOService::CopyDispatchQueue(const char* name, IODispatchQueue** queue)
{
    if (name == nullptr || queue == nullptr) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(fState->lock);
    IODispatchQueue* found = std::strcmp(name, "Default") == 0 ? fState->defaultQueue : nullptr;
    for (const auto& [installed, candidate] : fState->queues) {
        if (installed == name) {
            found = candidate;
        }
    }
    if (found == nullptr) {
        return kIOReturnNotFound;
    }
    found->retain();
    *queue = found;
    return kIOReturnSuccess;
}

kern_return_t IOService::RequireMaxBusStall(uint64_t maxBusStall)
{
    std::lock_guard lock(fState->lock);
    fState->maxBusStall = maxBusStall;
    return kIOReturnSuccess;
}

kern_return_t IOUserClient::ExternalMethod(uint64_t, IOUserClientMethodArguments* arguments,
                                           const IOUserClientMethodDispatch* dispatch, OSObject* target,
                                           void* reference)
{
    if (dispatch == nullptr || dispatch->function == nullptr || arguments == nullptr) {
        return kIOReturnUnsupported;
    }
    auto sizeFits = [](uint32_t check, uint64_t size) {
        return check == kIOUserClientVariableStructureSize || check == size;
    };
    const uint64_t inputSize = arguments->structureInputDescriptor != nullptr
                                   ? arguments->structureInputDescriptor->platformLength()
                                   : (arguments->structureInput ? arguments->structureInput->getLength() : 0);
    const uint64_t outputSize = arguments->structureOutputDescriptor != nullptr
                                    ? arguments->structureOutputDescriptor->platformLength()
                                    : arguments->structureOutputMaximumSize;
    if ((dispatch->checkCompletionExists && arguments->completion == nullptr) ||
        !sizeFits(dispatch->checkScalarInputCount, arguments->scalarInputCount) ||
        !sizeFits(dispatch->checkStructureInputSize, inputSize) ||
        !sizeFits(dispatch->checkScalarOutputCount, arguments->scalarOutputCount) ||
        !sizeFits(dispatch->checkStructureOutputSize, outputSize)) {
        return kIOReturnBadArgument;
    }
    return dispatch->function(target != nullptr ? target : this, reference, arguments);
}

kern_return_t IOUserClient::CopyClientMemoryForType(uint64_t, uint64_t*, IOMemoryDescriptor**)
{
    return kIOReturnUnsupported;
}

void IOUserClient::AsyncCompletion(OSAction* action, IOReturn status, const uint64_t* asyncData,
                                   uint32_t asyncDataCount)
{
    if (action == nullptr || action->kind() != OSAction::Kind::AsyncCompletion) {
        return;
    }
    OSAction::Arguments arguments;
    arguments.status = status;
    arguments.count = std::min(asyncDataCount, OSAction::kMaxAsyncArguments);
    for (uint32_t i = 0; i < arguments.count && asyncData != nullptr; ++i) {
        arguments.values[i] = asyncData[i];
    }
    action->deliver(arguments);
}
