// The kernel half of the user-client seam: IOServiceOpen on a published kernel service asks the
// service for a user client, and the connection carries the client's calls to it.

#include "KernelConnection.h"
#include "MemoryAccess.h"
#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "UserClientSeam.h"

#include <IOKit/IOUserClient.h>

#include <map>
#include <mutex>
#include <vector>

// A kernel port handle stands for one user-space port name.
struct ipc_port
{
    mach_port_name_t fName;
};

namespace {

class ClientConnection final : public KernelIOKitPlatform::KernelConnection
{
public:
    explicit ClientConnection(IOUserClient* client) : fClient(client) {}
    ~ClientConnection() override
    {
        for (IOMemoryDescriptor* memory : fMemory) {
            memory->release();
        }
        OSSafeReleaseNULL(fClient);
    }

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override
    {
        return fClient ? fClient->callStructMethod(selector, input, inputSize, output, outputSize)
                       : kIOReturnNotAttached;
    }

    IOReturn sharedMemory(uint32_t memoryType, int* fd, uint64_t* length) override
    {
        if (!fClient) {
            return kIOReturnNotAttached;
        }
        IOOptionBits options = 0;
        IOMemoryDescriptor* memory = nullptr;
        const IOReturn result = fClient->clientMemoryForType(memoryType, &options, &memory);
        if (result != kIOReturnSuccess) {
            return result;
        }
        IOByteCount bytes = 0;
        if (!memory || !IOMemoryDescriptorAccess::sharedFile(memory, fd, &bytes)) {
            OSSafeReleaseNULL(memory);
            return kIOReturnVMError;
        }
        *length = bytes;
        // Kept until the connection ends, with the file the client mapped.
        fMemory.push_back(memory);
        return kIOReturnSuccess;
    }

    IOReturn registerNotificationPort(uint32_t portName, uint32_t type, uintptr_t reference) override
    {
        if (!fClient) {
            return kIOReturnNotAttached;
        }
        return fClient->registerNotificationPort(KernelIOKitPlatform::kernelPort(portName), type,
                                                 UInt32(reference));
    }

    void close() override
    {
        if (fClient) {
            KernelIOKitPlatform::closeConnection(fClient);
        }
    }

private:
    IOUserClient* fClient;
    std::vector<IOMemoryDescriptor*> fMemory;
};

} // namespace

namespace KernelIOKitPlatform {

mach_port_t kernelPort(mach_port_name_t name)
{
    if (name == 0) {
        return nullptr;
    }
    static std::mutex mutex;
    static std::map<mach_port_name_t, ipc_port> ports;
    std::lock_guard lock(mutex);
    return &ports.try_emplace(name, ipc_port{name}).first->second;
}

mach_port_name_t userPortName(mach_port_t port)
{
    return port ? port->fName : 0;
}

void closeConnection(IOUserClient* client)
{
    client->clientClose();
    // Whichever of this and the provider's termination comes second detaches the client.
    IOUserClientAccess::markConnectionClosed(client);
    if (client->isInactive()) {
        if (IOService* provider = client->getProvider()) {
            client->detach(provider);
        }
    }
}

void publishUserClients(IOService* service)
{
    setKernelOpener(IORegistryEntryAccess::platformEntry(service),
                    [service](uint32_t type, std::shared_ptr<KernelConnection>* connection) {
                        IOUserClient* client = nullptr;
                        const IOReturn result =
                            service->newUserClient(current_task(), nullptr, type, nullptr, &client);
                        if (result != kIOReturnSuccess) {
                            return result;
                        }
                        if (!client) {
                            return IOReturn(kIOReturnError);
                        }
                        *connection = std::make_shared<ClientConnection>(client);
                        return IOReturn(kIOReturnSuccess);
                    });
}

void withdrawUserClients(IOService* service)
{
    if (auto entry = IORegistryEntryAccess::platformEntry(service)) {
        setKernelOpener(entry, nullptr);
    }
}

} // namespace KernelIOKitPlatform
