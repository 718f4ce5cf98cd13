#include "UserSpaceClient.h"

#include <IOKit/IOKitLib.h>
#include <IOKitTesting/Services.h>
#include <mach/mach.h>

namespace KernelIOKitTestSupport {

uint32_t openConnection(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, uint32_t type,
                        IOReturn* result)
{
    io_service_t service = IOKitTesting::copyHandle(entry);
    io_connect_t connection = 0;
    *result = IOServiceOpen(service, mach_task_self(), type, &connection);
    IOObjectRelease(service);
    return connection;
}

IOReturn callStruct(uint32_t connection, uint32_t selector, const void* input, size_t inputSize, void* output,
                    size_t* outputSize)
{
    return IOConnectCallStructMethod(connection, selector, input, inputSize, output, outputSize);
}

IOReturn mapMemory(uint32_t connection, uint32_t memoryType, uint64_t* address, uint64_t* size)
{
    mach_vm_address_t at = 0;
    mach_vm_size_t length = 0;
    const IOReturn result = IOConnectMapMemory64(connection, memoryType, mach_task_self(), &at, &length, 1);
    *address = at;
    *size = length;
    return result;
}

IOReturn unmapMemory(uint32_t connection, uint32_t memoryType, uint64_t address)
{
    return IOConnectUnmapMemory64(connection, memoryType, mach_task_self(), address);
}

IOReturn setNotificationPort(uint32_t connection, uint32_t portName, uintptr_t reference)
{
    return IOConnectSetNotificationPort(connection, 0, portName, reference);
}

IOReturn closeConnection(uint32_t connection)
{
    return IOServiceClose(connection);
}

UserSpacePort::UserSpacePort()
{
    mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &fName);
}

UserSpacePort::~UserSpacePort()
{
    destroy();
}

std::vector<uint8_t> UserSpacePort::receive()
{
    std::vector<uint8_t> buffer(8192);
    auto* header = reinterpret_cast<mach_msg_header_t*>(buffer.data());
    if (mach_msg(header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, mach_msg_size_t(buffer.size()), fName, 30'000,
                 MACH_PORT_NULL) != MACH_MSG_SUCCESS) {
        return {};
    }
    buffer.resize(header->msgh_size);
    return buffer;
}

void UserSpacePort::destroy()
{
    if (fName != 0) {
        mach_port_destroy(mach_task_self(), fName);
        fName = 0;
    }
}

} // namespace KernelIOKitTestSupport
