#include "USBInterfaceInterface.h"

#include "USBCOMObject.h"
#include "USBPipeSession.h"

#include <IOKit/platform/Registry.h>
#include <SimUSB/Setup.h>

#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace IOKit {

namespace {

struct Pipe
{
    uint8_t address = 0;
    uint8_t type = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
};

// What the configuration descriptor says of one interface (alternate setting 0).
struct InterfaceDescription
{
    uint8_t number = 0;
    uint8_t interfaceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::vector<Pipe> pipes;
};

std::optional<InterfaceDescription> describe(const std::vector<uint8_t>& bytes, uint8_t number)
{
    std::optional<InterfaceDescription> found;
    const size_t total = bytes.size() >= 4 ? std::min<size_t>(bytes.size(), bytes[2] | bytes[3] << 8) : 0;
    for (size_t at = 0; at + 2 <= total && bytes[at] >= 2 && at + bytes[at] <= total; at += bytes[at]) {
        const uint8_t type = bytes[at + 1];
        if (type == SimUSB::DescriptorType::kInterface && bytes[at] >= 9) {
            if (found) {
                break;
            }
            if (bytes[at + 2] == number && bytes[at + 3] == 0) {
                found = InterfaceDescription{number, bytes[at + 5], bytes[at + 6], bytes[at + 7], {}};
            }
        } else if (type == SimUSB::DescriptorType::kEndpoint && bytes[at] >= 7 && found) {
            found->pipes.push_back(Pipe{bytes[at + 2], uint8_t(bytes[at + 3] & 3),
                                        uint16_t(bytes[at + 4] | bytes[at + 5] << 8), bytes[at + 6]});
        }
    }
    return found;
}

// Which interface object holds each interface of each bus device open.
class InterfaceHolders
{
public:
    static InterfaceHolders& shared()
    {
        static InterfaceHolders* holders = new InterfaceHolders;
        return *holders;
    }

    IOReturn open(const SimUSB::HostDevice* device, uint8_t number, const void* holder)
    {
        std::lock_guard lock(fLock);
        auto [found, inserted] = fHolders.emplace(std::make_pair(device, number), holder);
        return inserted || found->second == holder ? kIOReturnSuccess : kIOReturnExclusiveAccess;
    }

    void close(const SimUSB::HostDevice* device, uint8_t number, const void* holder)
    {
        std::lock_guard lock(fLock);
        auto found = fHolders.find({device, number});
        if (found != fHolders.end() && found->second == holder) {
            fHolders.erase(found);
        }
    }

private:
    std::mutex fLock;
    std::map<std::pair<const SimUSB::HostDevice*, uint8_t>, const void*> fHolders;
};

struct InterfaceObject
{
    std::shared_ptr<SimUSB::HostDevice> fDevice;
    InterfaceDescription fDescription;
};

std::vector<uint8_t> endpointsOf(const InterfaceDescription& description)
{
    std::vector<uint8_t> endpoints;
    for (const Pipe& pipe : description.pipes) {
        endpoints.push_back(pipe.address);
    }
    return endpoints;
}

struct Interface : COMObject<IOUSBInterfaceInterface300>, InterfaceObject
{
    Interface(const IOUSBInterfaceInterface300* table, InterfaceObject object)
        : COMObject(table), InterfaceObject(std::move(object)),
          fSession(std::make_shared<PipeSession>(fDevice, endpointsOf(fDescription)))
    {}
    ~Interface() { closeInterface(); }

    IOReturn closeInterface()
    {
        if (!fSession->isOpen()) {
            return kIOReturnNotOpen;
        }
        fSession->close();
        InterfaceHolders::shared().close(fDevice.get(), fDescription.number, this);
        return kIOReturnSuccess;
    }

    const Pipe* pipe(UInt8 pipeRef) const
    {
        return pipeRef >= 1 && pipeRef <= fDescription.pipes.size() ? &fDescription.pipes[pipeRef - 1]
                                                                    : nullptr;
    }

    const std::shared_ptr<PipeSession> fSession;
};

struct PlugIn : COMObject<IOCFPlugInInterface>, InterfaceObject
{
    PlugIn(const IOCFPlugInInterface* table, InterfaceObject object)
        : COMObject(table), InterfaceObject(std::move(object))
    {}
};

Interface* interface(void* thisPointer)
{
    return self<Interface>(thisPointer);
}

bool isInterfaceID(const CFUUIDBytes& iid)
{
    return sameUUID(iid, kIOUSBInterfaceInterfaceID300);
}

IOReturn createInterfaceAsyncEventSource(void* thisPointer, CFRunLoopSourceRef* source)
{
    if (source == nullptr) {
        return kIOReturnBadArgument;
    }
    *source = interface(thisPointer)->fSession->eventSource();
    return *source != nullptr ? kIOReturnSuccess : kIOReturnNoMemory;
}

IOReturn interfaceOpen(void* thisPointer)
{
    Interface* object = interface(thisPointer);
    if (!object->fDevice->connected()) {
        return kIOReturnNoDevice;
    }
    const IOReturn result =
        InterfaceHolders::shared().open(object->fDevice.get(), object->fDescription.number, object);
    if (result == kIOReturnSuccess) {
        object->fSession->open();
    }
    return result;
}

IOReturn interfaceClose(void* thisPointer)
{
    return interface(thisPointer)->closeInterface();
}

IOReturn field(UInt8* out, UInt8 value)
{
    if (out == nullptr) {
        return kIOReturnBadArgument;
    }
    *out = value;
    return kIOReturnSuccess;
}

IOReturn getInterfaceClass(void* thisPointer, UInt8* value)
{
    return field(value, interface(thisPointer)->fDescription.interfaceClass);
}

IOReturn getInterfaceSubClass(void* thisPointer, UInt8* value)
{
    return field(value, interface(thisPointer)->fDescription.subClass);
}

IOReturn getInterfaceProtocol(void* thisPointer, UInt8* value)
{
    return field(value, interface(thisPointer)->fDescription.protocol);
}

IOReturn getNumEndpoints(void* thisPointer, UInt8* value)
{
    return field(value, UInt8(interface(thisPointer)->fDescription.pipes.size()));
}

IOReturn getPipeProperties(void* thisPointer, UInt8 pipeRef, UInt8* direction, UInt8* number,
                           UInt8* transferType, UInt16* maxPacketSize, UInt8* interval)
{
    const Pipe* pipe = interface(thisPointer)->pipe(pipeRef);
    if (pipe == nullptr || direction == nullptr || number == nullptr || transferType == nullptr ||
        maxPacketSize == nullptr || interval == nullptr) {
        return kIOReturnBadArgument;
    }
    *direction = (pipe->address & 0x80) ? kUSBIn : kUSBOut;
    *number = pipe->address & 0x0F;
    *transferType = pipe->type;
    *maxPacketSize = pipe->maxPacketSize;
    *interval = pipe->interval;
    return kIOReturnSuccess;
}

IOReturn abortPipe(void* thisPointer, UInt8 pipeRef)
{
    Interface* object = interface(thisPointer);
    const Pipe* pipe = object->pipe(pipeRef);
    if (pipe == nullptr) {
        return kIOReturnBadArgument;
    }
    if (!object->fSession->isOpen()) {
        return kIOReturnNotOpen;
    }
    object->fDevice->abort(pipe->address, kIOReturnAborted);
    return kIOReturnSuccess;
}

IOReturn pipeTransfer(void* thisPointer, UInt8 pipeRef, bool in, void* buffer, UInt32 size,
                      UInt32 noDataTimeout, UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon)
{
    Interface* object = interface(thisPointer);
    const Pipe* pipe = object->pipe(pipeRef);
    if (pipe == nullptr || bool(pipe->address & 0x80) != in) {
        return kIOReturnBadArgument;
    }
    return object->fSession->submit(pipe->address, buffer, size, noDataTimeout, completionTimeout, callback,
                                    refcon);
}

IOReturn readPipeAsyncTO(void* thisPointer, UInt8 pipeRef, void* buffer, UInt32 size, UInt32 noDataTimeout,
                         UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon)
{
    return pipeTransfer(thisPointer, pipeRef, true, buffer, size, noDataTimeout, completionTimeout, callback,
                        refcon);
}

IOReturn writePipeAsyncTO(void* thisPointer, UInt8 pipeRef, void* buffer, UInt32 size, UInt32 noDataTimeout,
                          UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon)
{
    return pipeTransfer(thisPointer, pipeRef, false, buffer, size, noDataTimeout, completionTimeout, callback,
                        refcon);
}

const IOUSBInterfaceInterface300 kInterfaceTable = {
    nullptr,
    queryInterface<Interface, isInterfaceID>,
    addRef<Interface>,
    release<Interface>,
    createInterfaceAsyncEventSource,
    interfaceOpen,
    interfaceClose,
    getInterfaceClass,
    getInterfaceSubClass,
    getInterfaceProtocol,
    getNumEndpoints,
    getPipeProperties,
    abortPipe,
    readPipeAsyncTO,
    writePipeAsyncTO,
};

std::optional<uint8_t> interfaceNumber(const IOKitPlatform::RegistryEntry& nub)
{
    CFTypeRef value = nub.copyProperty(CFSTR("bInterfaceNumber"));
    int32_t number = -1;
    const bool isNumber = value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
                          CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number);
    if (value != nullptr) {
        CFRelease(value);
    }
    return isNumber && number >= 0 && number < 256 ? std::optional(uint8_t(number)) : std::nullopt;
}

const IOCFPlugInInterface& kPlugInTable =
    plugInTable<PlugIn, plugInQueryInterface<PlugIn, Interface, isInterfaceID, &kInterfaceTable>>;

} // namespace

IOCFPlugInInterface** createUSBInterfacePlugIn(std::shared_ptr<SimUSB::HostDevice> device,
                                               const IOKitPlatform::RegistryEntry& nub)
{
    const std::optional<uint8_t> number = interfaceNumber(nub);
    if (!number) {
        return nullptr;
    }
    std::optional<InterfaceDescription> description = describe(device->configurationDescriptor(), *number);
    if (!description) {
        return nullptr;
    }
    return reinterpret_cast<IOCFPlugInInterface**>(
        new PlugIn(&kPlugInTable, InterfaceObject{std::move(device), std::move(*description)}));
}

} // namespace IOKit
