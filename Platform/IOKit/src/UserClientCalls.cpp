// User-client connections.

#include "Registry.h"
#include "RootDomain.h"
#include "UserClientHandle.h"

#include <IOKit/IOKitLib.h>

using IOKit::findEntry;
using IOKit::findHandle;
using IOKit::HandleTable;
using IOKit::Registry;
using IOKit::RootDomainConnection;
using IOKit::UserClientHandle;

kern_return_t IOServiceOpen(io_service_t service, task_port_t, uint32_t type, io_connect_t* connect)
{
    auto entry = findEntry(service);
    if (!entry || connect == nullptr) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<IOKitPlatform::UserClientProvider> provider;
    IOReturn result = Registry::shared().providerFor(*entry, &provider);
    if (result != kIOReturnSuccess) {
        return result;
    }
    std::shared_ptr<IOKitPlatform::UserClientConnection> connection;
    result = provider->open(type, &connection);
    if (result != kIOReturnSuccess) {
        return result;
    }
    if (!connection) {
        return kIOReturnError;
    }
    auto opened = std::make_shared<UserClientHandle>(std::move(connection));
    if (!Registry::shared().addConnection(*entry, opened)) {
        opened->close();
        return kIOReturnNoDevice;
    }
    *connect = HandleTable::shared().add(opened);
    return kIOReturnSuccess;
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    auto object = HandleTable::shared().find(connect);
    if (auto userClient = std::dynamic_pointer_cast<UserClientHandle>(object)) {
        userClient->close();
    } else if (!std::dynamic_pointer_cast<RootDomainConnection>(object)) {
        return kIOReturnBadArgument;
    }
    return HandleTable::shared().release(connect);
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt)
{
    auto userClient = findHandle<UserClientHandle>(connection);
    if (!userClient) {
        return kIOReturnBadArgument;
    }
    return userClient->callStructMethod(selector, inputStruct, inputStructCnt, outputStruct, outputStructCnt);
}

kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_port_t,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize, IOOptionBits options)
{
    auto userClient = findHandle<UserClientHandle>(connect);
    if (!userClient || atAddress == nullptr || ofSize == nullptr) {
        return kIOReturnBadArgument;
    }
    if ((options & kIOMapAnywhere) == 0) {
        return kIOReturnUnsupported;
    }
    return userClient->map(memoryType, atAddress, ofSize);
}

kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_port_t,
                                     mach_vm_address_t atAddress)
{
    auto userClient = findHandle<UserClientHandle>(connect);
    return userClient ? userClient->unmap(memoryType, atAddress) : kIOReturnBadArgument;
}

kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t type, mach_port_t port,
                                           uintptr_t reference)
{
    auto userClient = findHandle<UserClientHandle>(connect);
    return userClient ? userClient->setNotificationPort(type, port, reference) : kIOReturnBadArgument;
}
