#include "KernelConnection.h"

#include <IOKit/platform/Registry.h>
#include <IOKit/platform/UserClient.h>

#include <mach/message.h>

#include <utility>

namespace KernelIOKitPlatform {

namespace {

class Connection final : public IOKitPlatform::UserClientConnection
{
public:
    explicit Connection(std::shared_ptr<KernelConnection> kernel) : fKernel(std::move(kernel)) {}

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override
    {
        return fKernel->callStructMethod(selector, input, inputSize, output, outputSize);
    }
    IOReturn sharedMemory(uint32_t memoryType, IOKitPlatform::SharedMemory* memory) override
    {
        return fKernel->sharedMemory(memoryType, &memory->fd, &memory->length);
    }
    IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uintptr_t reference) override
    {
        return fKernel->registerNotificationPort(port, type, reference);
    }
    void close() override { fKernel->close(); }

private:
    std::shared_ptr<KernelConnection> fKernel;
};

class Provider final : public IOKitPlatform::UserClientProvider
{
public:
    explicit Provider(KernelOpener opener) : fOpener(std::move(opener)) {}

    IOReturn open(uint32_t type, std::shared_ptr<IOKitPlatform::UserClientConnection>* connection) override
    {
        std::shared_ptr<KernelConnection> kernel;
        const IOReturn result = fOpener(type, &kernel);
        if (result == kIOReturnSuccess) {
            *connection = std::make_shared<Connection>(std::move(kernel));
        }
        return result;
    }

private:
    KernelOpener fOpener;
};

} // namespace

void setKernelOpener(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, KernelOpener opener)
{
    entry->setUserClientProvider(opener ? std::make_shared<Provider>(std::move(opener)) : nullptr);
}

int32_t sendUserMessage(void* message, uint32_t size, int32_t option, uint32_t timeout)
{
    return mach_msg(static_cast<mach_msg_header_t*>(message), MACH_SEND_MSG | option, size, 0, MACH_PORT_NULL,
                    timeout, MACH_PORT_NULL);
}

} // namespace KernelIOKitPlatform
