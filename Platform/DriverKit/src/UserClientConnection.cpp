// The seam between IOKit's user-space calls and a DriverKit user client.

#include "DriverRegistry.h"
#include "ServiceState.h"
#include "UserClientProvider.h"

#include <DriverKit/IOUserClient.h>
#include <DriverKit/platform/UserClientConnection.h>

#include <algorithm>
#include <cstring>

namespace DriverKitPlatform {

namespace {

constexpr size_t kLargestDataArgument = 4096;

} // namespace

IOReturn ServiceUserClients::open(uint32_t type,
                                  std::shared_ptr<IOKitPlatform::UserClientConnection>* connection)
{
    OSSharedPtr<IOService> service;
    {
        std::lock_guard lock(fLock);
        if (fService != nullptr && fService->platformTryRetain()) {
            service.reset(fService, OSNoRetain);
        }
    }
    if (!service || service->platformState().terminated) {
        return kIOReturnNotAttached;
    }
    IOUserClient* client = nullptr;
    IOReturn result = kIOReturnError;
    onDefaultQueue(service.get(), [&] { result = service->NewUserClient(type, &client); });
    if (result != kIOReturnSuccess) {
        OSSafeReleaseNULL(client);
        return result;
    }
    if (client == nullptr) {
        return kIOReturnError;
    }
    *connection = std::make_shared<UserClientConnection>(client);
    client->release();
    return kIOReturnSuccess;
}

void ServiceUserClients::forget()
{
    std::lock_guard lock(fLock);
    fService = nullptr;
}

UserClientConnection::UserClientConnection(IOUserClient* client) : fClient(client)
{
    fClient->retain();
}

UserClientConnection::~UserClientConnection()
{
    close();
}

IOReturn UserClientConnection::callStructMethod(uint32_t selector, const void* input, size_t inputSize,
                                                void* output, size_t* outputSize)
{
    return callStructMethod(selector, input, inputSize, output, outputSize, nullptr);
}

IOReturn UserClientConnection::callStructMethod(uint32_t selector, const void* input, size_t inputSize,
                                                void* output, size_t* outputSize, OSAction* completion)
{
    OSSharedPtr<IOUserClient> client;
    {
        std::lock_guard lock(fLock);
        if (fClosed) {
            return kIOReturnNotAttached;
        }
        client.reset(fClient, OSRetain);
    }
    const size_t outputCapacity = outputSize != nullptr ? *outputSize : 0;
    IOUserClientMethodArguments arguments{};
    arguments.selector = selector;
    arguments.completion = completion;
    OSSharedPtr<OSData> inputData;
    OSSharedPtr<IOMemoryDescriptor> inputDescriptor;
    if (inputSize > kLargestDataArgument) {
        inputDescriptor.reset(
            IOMemoryDescriptor::wrap(const_cast<void*>(input), inputSize, kIOMemoryDirectionOut), OSNoRetain);
        arguments.structureInputDescriptor = inputDescriptor.get();
    } else if (inputSize != 0) {
        inputData.reset(OSData::withBytes(input, inputSize), OSNoRetain);
        if (!inputData) {
            return kIOReturnNoMemory;
        }
        arguments.structureInput = inputData.get();
    }
    OSSharedPtr<OSData> outputData;
    OSSharedPtr<IOMemoryDescriptor> outputDescriptor;
    if (outputCapacity > kLargestDataArgument) {
        outputDescriptor.reset(IOMemoryDescriptor::wrap(output, outputCapacity, kIOMemoryDirectionIn),
                               OSNoRetain);
        arguments.structureOutputDescriptor = outputDescriptor.get();
    } else if (outputCapacity != 0) {
        outputData.reset(OSData::withCapacity(uint32_t(outputCapacity)), OSNoRetain);
        if (!outputData) {
            return kIOReturnNoMemory;
        }
        arguments.structureOutput = outputData.get();
        arguments.structureOutputMaximumSize = outputCapacity;
    }
    IOReturn result = kIOReturnError;
    onDefaultQueue(client.get(),
                   [&] { result = client->ExternalMethod(selector, &arguments, nullptr, nullptr, nullptr); });
    // A driver may hand back an output object of its own instead of filling the one it got.
    OSSharedPtr<OSData> returned;
    if (arguments.structureOutput != nullptr && arguments.structureOutput != outputData.get()) {
        returned.reset(arguments.structureOutput, OSNoRetain);
    } else {
        returned = outputData;
    }
    if (returned && outputSize != nullptr) {
        const size_t count = std::min(returned->getLength(), outputCapacity);
        if (count != 0) {
            std::memcpy(output, returned->getBytesNoCopy(), count);
        }
        *outputSize = count;
    }
    return result;
}

IOReturn UserClientConnection::sharedMemory(uint32_t memoryType, IOKitPlatform::SharedMemory* memory)
{
    OSSharedPtr<IOUserClient> client;
    {
        std::lock_guard lock(fLock);
        if (fClosed) {
            return kIOReturnNotAttached;
        }
        client.reset(fClient, OSRetain);
    }
    IOMemoryDescriptor* descriptor = nullptr;
    uint64_t options = 0;
    IOReturn result = kIOReturnError;
    onDefaultQueue(client.get(),
                   [&] { result = client->CopyClientMemoryForType(memoryType, &options, &descriptor); });
    OSSharedPtr<IOMemoryDescriptor> held(descriptor, OSNoRetain);
    if (result != kIOReturnSuccess) {
        return result;
    }
    // A client maps a whole memfd; a range that does not start it cannot be handed over.
    if (!held || held->platformFd() < 0 || held->platformOffset() != 0) {
        return kIOReturnUnsupported;
    }
    memory->fd = held->platformFd();
    memory->length = held->platformLength();
    return kIOReturnSuccess;
}

IOReturn UserClientConnection::registerNotificationPort(mach_port_t, uint32_t, uintptr_t)
{
    return kIOReturnUnsupported;
}

void UserClientConnection::close()
{
    IOUserClient* client;
    {
        std::lock_guard lock(fLock);
        if (fClosed) {
            return;
        }
        fClosed = true;
        client = fClient;
    }
    terminate(client);
    detachFromProvider(client);
    client->release();
}

} // namespace DriverKitPlatform
