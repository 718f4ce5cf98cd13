#include "USBDeviceInterface.h"

#include "Handles.h"
#include "Iterators.h"
#include "NotificationPort.h"
#include "Registry.h"
#include "USBCOMObject.h"
#include "USBDevices.h"

#include <IOKit/platform/Registry.h>
#include <SimUSB/Setup.h>

#include <algorithm>

namespace IOKit {

namespace {

// A device request without a time-out of its own gives up after this long.
constexpr uint32_t kDefaultRequestTimeoutMs = 5000;

struct DeviceObject
{
    std::shared_ptr<SimUSB::HostDevice> fDevice;
    std::shared_ptr<IOKitPlatform::RegistryEntry> fNub;
};

struct DeviceInterface : COMObject<IOUSBDeviceInterface>, DeviceObject
{
    DeviceInterface(const IOUSBDeviceInterface* table, DeviceObject object)
        : COMObject(table), DeviceObject(std::move(object))
    {}
    ~DeviceInterface()
    {
        USBDevices::shared().forget(this);
        if (fEvents) {
            fEvents->destroy();
        }
    }

    // Device events have nothing to deliver here; the source exists for the run loop to hold.
    std::shared_ptr<NotificationPort> fEvents;
};

struct PlugIn : COMObject<IOCFPlugInInterface>, DeviceObject
{
    PlugIn(const IOCFPlugInInterface* table, DeviceObject object)
        : COMObject(table), DeviceObject(std::move(object))
    {}
};

DeviceInterface* device(void* thisPointer)
{
    return self<DeviceInterface>(thisPointer);
}

bool isDeviceInterfaceID(const CFUUIDBytes& iid)
{
    return sameUUID(iid, kIOUSBDeviceInterfaceID) || sameUUID(iid, kIOUSBDeviceInterfaceID300);
}

uint16_t descriptorWord(void* thisPointer, size_t at)
{
    const std::vector<uint8_t>& bytes = device(thisPointer)->fDevice->deviceDescriptor();
    return bytes.size() < at + 2 ? 0 : uint16_t(bytes[at] | bytes[at + 1] << 8);
}

IOReturn getDeviceVendor(void* thisPointer, UInt16* vendor)
{
    *vendor = descriptorWord(thisPointer, 8);
    return kIOReturnSuccess;
}

IOReturn getDeviceProduct(void* thisPointer, UInt16* product)
{
    *product = descriptorWord(thisPointer, 10);
    return kIOReturnSuccess;
}

IOReturn getSerialNumberStringIndex(void* thisPointer, UInt8* index)
{
    if (index == nullptr) {
        return kIOReturnBadArgument;
    }
    const std::vector<uint8_t>& bytes = device(thisPointer)->fDevice->deviceDescriptor();
    *index = bytes.size() > 16 ? bytes[16] : 0;
    return kIOReturnSuccess;
}

IOReturn deviceOpen(void* thisPointer)
{
    return USBDevices::shared().open(device(thisPointer)->fDevice, thisPointer);
}

IOReturn deviceClose(void* thisPointer)
{
    return USBDevices::shared().close(device(thisPointer)->fDevice, thisPointer);
}

IOReturn deviceReEnumerate(void* thisPointer, UInt32 options)
{
    return USBDevices::shared().reEnumerate(device(thisPointer)->fDevice, options);
}

IOReturn createDeviceAsyncEventSource(void* thisPointer, CFRunLoopSourceRef* source)
{
    if (source == nullptr) {
        return kIOReturnBadArgument;
    }
    DeviceInterface* object = device(thisPointer);
    if (!object->fEvents) {
        object->fEvents = NotificationPort::create();
    }
    *source = object->fEvents ? object->fEvents->runLoopSource() : nullptr;
    return *source != nullptr ? kIOReturnSuccess : kIOReturnNoMemory;
}

IOReturn getConfiguration(void* thisPointer, UInt8* value)
{
    if (value == nullptr) {
        return kIOReturnBadArgument;
    }
    const auto& bus = device(thisPointer)->fDevice;
    if (!bus->connected()) {
        return kIOReturnNoDevice;
    }
    *value = bus->configurationValue();
    return kIOReturnSuccess;
}

IOReturn getConfigurationDescriptorPtr(void* thisPointer, UInt8 index,
                                       IOUSBConfigurationDescriptorPtr* descriptor)
{
    if (descriptor == nullptr) {
        return kIOReturnBadArgument;
    }
    const std::shared_ptr<SimUSB::HostDevice>& bus = device(thisPointer)->fDevice;
    if (!USBDevices::shared().mayReadConfigurationDescriptor(bus)) {
        *descriptor = nullptr;
        return kIOReturnNotResponding;
    }
    // Enumeration reads the first configuration only.
    const std::vector<uint8_t>& bytes = bus->configurationDescriptor();
    if (index != 0 || bytes.size() < sizeof(IOUSBConfigurationDescriptor)) {
        *descriptor = nullptr;
        return kIOReturnBadArgument;
    }
    *descriptor = reinterpret_cast<IOUSBConfigurationDescriptorPtr>(const_cast<uint8_t*>(bytes.data()));
    return kIOReturnSuccess;
}

IOReturn control(void* thisPointer, const SimUSB::SetupPacket& setup, void* data, UInt32* done,
                 uint32_t timeoutMs)
{
    const std::shared_ptr<SimUSB::HostDevice>& bus = device(thisPointer)->fDevice;
    return USBDevices::shared().onDefaultPipe(bus, [&] {
        const SimUSB::ControlResult result = bus->control(setup, static_cast<uint8_t*>(data), timeoutMs);
        if (done != nullptr) {
            *done = result.length;
        }
        // The bus reports the codes of the USB family.
        return IOReturn(result.status);
    });
}

IOReturn setConfiguration(void* thisPointer, UInt8 value)
{
    if (!USBDevices::shared().holds(device(thisPointer)->fDevice, thisPointer)) {
        return device(thisPointer)->fDevice->connected() ? kIOReturnNotOpen : kIOReturnNoDevice;
    }
    if (const auto setter = USBDevices::shared().configurationSetter()) {
        const std::shared_ptr<SimUSB::HostDevice>& bus = device(thisPointer)->fDevice;
        return USBDevices::shared().onDefaultPipe(bus, [&] { return setter(bus, value); });
    }
    return control(thisPointer, {0x00, SimUSB::Request::kSetConfiguration, value, 0, 0}, nullptr, nullptr,
                   kDefaultRequestTimeoutMs);
}

IOReturn deviceRequest(void* thisPointer, IOUSBDevRequest* request)
{
    if (request == nullptr || (request->wLength != 0 && request->pData == nullptr)) {
        return kIOReturnBadArgument;
    }
    return control(
        thisPointer,
        {request->bmRequestType, request->bRequest, request->wValue, request->wIndex, request->wLength},
        request->pData, &request->wLenDone, kDefaultRequestTimeoutMs);
}

IOReturn deviceRequestTO(void* thisPointer, IOUSBDevRequestTO* request)
{
    if (request == nullptr || (request->wLength != 0 && request->pData == nullptr)) {
        return kIOReturnBadArgument;
    }
    // The bus moves a control transfer's data in one go, so the first limit to pass ends it.
    uint32_t timeoutMs = request->completionTimeout;
    if (request->noDataTimeout != 0) {
        timeoutMs = timeoutMs == 0 ? request->noDataTimeout : std::min(timeoutMs, request->noDataTimeout);
    }
    return control(
        thisPointer,
        {request->bmRequestType, request->bRequest, request->wValue, request->wIndex, request->wLength},
        request->pData, &request->wLenDone, timeoutMs);
}

bool matchesField(CFTypeRef value, UInt16 wanted)
{
    if (wanted == kIOUSBFindInterfaceDontCare) {
        return true;
    }
    int32_t number = -1;
    return value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
           CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number) &&
           number == wanted;
}

bool interfaceMatches(const IOKitPlatform::RegistryEntry& entry, const IOUSBFindInterfaceRequest& request)
{
    const std::vector<std::string>& chain = entry.classChain();
    if (std::find(chain.begin(), chain.end(), "IOUSBHostInterface") == chain.end()) {
        return false;
    }
    const std::pair<const char*, UInt16> fields[] = {{"bInterfaceClass", request.bInterfaceClass},
                                                     {"bInterfaceSubClass", request.bInterfaceSubClass},
                                                     {"bInterfaceProtocol", request.bInterfaceProtocol},
                                                     {"bAlternateSetting", request.bAlternateSetting}};
    for (const auto& [key, wanted] : fields) {
        CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
        CFTypeRef value = entry.copyProperty(name);
        CFRelease(name);
        const bool matches = matchesField(value, wanted);
        if (value != nullptr) {
            CFRelease(value);
        }
        if (!matches) {
            return false;
        }
    }
    return true;
}

IOReturn createInterfaceIterator(void* thisPointer, IOUSBFindInterfaceRequest* request,
                                 io_iterator_t* iterator)
{
    if (request == nullptr || iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    DeviceInterface* object = device(thisPointer);
    if (!object->fDevice->connected()) {
        return kIOReturnNoDevice;
    }
    std::vector<std::shared_ptr<IOKitPlatform::RegistryEntry>> found;
    if (object->fNub) {
        for (auto& child : Registry::shared().children(*object->fNub)) {
            if (interfaceMatches(*child, *request)) {
                found.push_back(std::move(child));
            }
        }
    }
    *iterator = HandleTable::shared().add(std::make_shared<SnapshotIterator>(std::move(found)));
    return kIOReturnSuccess;
}

const IOUSBDeviceInterface kDeviceTable = {
    nullptr,
    queryInterface<DeviceInterface, isDeviceInterfaceID>,
    addRef<DeviceInterface>,
    release<DeviceInterface>,
    getDeviceVendor,
    getDeviceProduct,
    deviceOpen,
    deviceClose,
    deviceReEnumerate,
    createDeviceAsyncEventSource,
    getConfiguration,
    getConfigurationDescriptorPtr,
    setConfiguration,
    deviceRequest,
    deviceRequestTO,
    createInterfaceIterator,
    getSerialNumberStringIndex,
};

const IOCFPlugInInterface& kPlugInTable =
    plugInTable<PlugIn, plugInQueryInterface<PlugIn, DeviceInterface, isDeviceInterfaceID, &kDeviceTable>>;

} // namespace

IOCFPlugInInterface** createUSBDevicePlugIn(std::shared_ptr<SimUSB::HostDevice> device,
                                            std::shared_ptr<IOKitPlatform::RegistryEntry> nub)
{
    return reinterpret_cast<IOCFPlugInInterface**>(
        new PlugIn(&kPlugInTable, DeviceObject{std::move(device), std::move(nub)}));
}

} // namespace IOKit
