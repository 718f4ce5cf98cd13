#include "WrenDiscovery.h"

#include "DeviceReplies.h"

#include "KorvanDeviceIdentities.h"
#include "PlugInInterface.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint16_t kLanguage = 0x0409;
constexpr uint8_t kStringDescriptor = 3;

CFMutableDictionaryRef Matching(uint32_t vendor, uint32_t product)
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
    for (auto [key, value] : {std::pair{CFSTR("idVendor"), vendor}, {CFSTR("idProduct"), product}}) {
        CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
        CFDictionarySetValue(matching, key, number);
        CFRelease(number);
    }
    return matching;
}

} // namespace

WrenDiscovery::WrenDiscovery(Client& client) : fClient(client) {}

WrenDiscovery::~WrenDiscovery()
{
    fSettle.Cancel();
    fRetry.Cancel();
    Release();
    for (auto& [service, bootLoader] : fPending) {
        IOObjectRelease(service);
    }
    for (io_iterator_t iterator : fIterators) {
        if (iterator != 0) {
            IOObjectRelease(iterator);
        }
    }
    if (fPort != nullptr) {
        CFRunLoopRemoveSource(CFRunLoopGetMain(), IONotificationPortGetRunLoopSource(fPort),
                              kCFRunLoopDefaultMode);
        IONotificationPortDestroy(fPort);
    }
}

bool WrenDiscovery::Start()
{
    fPort = IONotificationPortCreate(kIOMainPortDefault);
    if (fPort == nullptr) {
        return false;
    }
    CFRunLoopAddSource(CFRunLoopGetMain(), IONotificationPortGetRunLoopSource(fPort), kCFRunLoopDefaultMode);
    using namespace KorvanDeviceIdentities;
    const struct
    {
        Notification kind;
        const char* type;
        uint32_t vendor;
        uint32_t product;
    } notifications[] = {
        {kRunModePublished, kIOFirstPublishNotification, kVendorID, kWrenletProductID},
        {kRunModeTerminated, kIOTerminatedNotification, kVendorID, kWrenletProductID},
        {kBootLoaderPublished, kIOFirstPublishNotification, kBootLoaderVendorID, kBootLoaderProductID},
        {kBootLoaderTerminated, kIOTerminatedNotification, kBootLoaderVendorID, kBootLoaderProductID},
    };
    for (const auto& notification : notifications) {
        fRegistrations[notification.kind] = Registration{this, notification.kind};
        if (IOServiceAddMatchingNotification(
                fPort, notification.type, Matching(notification.vendor, notification.product), Notified,
                &fRegistrations[notification.kind], &fIterators[notification.kind]) != KERN_SUCCESS) {
            return false;
        }
        // Takes what is there now and arms the notification.
        Notified(&fRegistrations[notification.kind], fIterators[notification.kind]);
    }
    return true;
}

void WrenDiscovery::Notified(void* refcon, io_iterator_t iterator)
{
    const auto* registration = static_cast<Registration*>(refcon);
    switch (registration->kind) {
    case kRunModePublished:
    case kBootLoaderPublished:
        registration->discovery->Published(iterator, registration->kind == kBootLoaderPublished);
        break;
    case kRunModeTerminated:
    case kBootLoaderTerminated:
        registration->discovery->Terminated(iterator);
        break;
    case kNotificationCount:
        break;
    }
}

void WrenDiscovery::Published(io_iterator_t iterator, bool bootLoader)
{
    bool any = false;
    while (io_service_t service = IOIteratorNext(iterator)) {
        fPending.emplace_back(service, bootLoader);
        any = true;
    }
    if (any) {
        fSettle.Start(kSettleSeconds, this, &WrenDiscovery::HandlePublished);
    }
}

void WrenDiscovery::Terminated(io_iterator_t iterator)
{
    while (io_service_t service = IOIteratorNext(iterator)) {
        // A device gone before it was handled is never reported.
        auto pending = std::find_if(fPending.begin(), fPending.end(),
                                    [&](const auto& entry) { return entry.first == service; });
        if (pending != fPending.end()) {
            IOObjectRelease(pending->first);
            fPending.erase(pending);
        }
        if (service == fService) {
            const bool bootLoader = fBootLoader;
            Release();
            printf("Releasing Device\n");
            if (bootLoader) {
                fClient.SAMBARemoved();
            } else {
                fClient.DeviceRemoved();
            }
        }
        IOObjectRelease(service);
    }
}

void WrenDiscovery::HandlePublished()
{
    std::vector<std::pair<io_service_t, bool>> published;
    published.swap(fPending);
    for (auto [service, bootLoader] : published) {
        RegisterDevice(service, bootLoader);
        IOObjectRelease(service);
    }
}

void WrenDiscovery::RegisterDevice(io_service_t service, bool bootLoader)
{
    if (fService != 0) {
        printf("Error: service and d_device\n");
        return;
    }
    auto device =
        std::make_shared<vork::IOCFComPtr<IOUSBDeviceInterface300>>(QueryPlugIn<IOUSBDeviceInterface300>(
            service, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID300));
    if (!*device) {
        return;
    }
    IOUSBDeviceInterface300** interface = device->get();
    const IOReturn opened = (*interface)->USBDeviceOpen(interface);
    UInt8 configuration = 0;
    (*interface)->GetConfiguration(interface, &configuration);
    if (opened == kIOReturnExclusiveAccess && configuration != 1) {
        printf("kIOReturnExclusiveAccess retrying...\n");
        IOObjectRetain(service);
        fPending.emplace_back(service, bootLoader);
        fSettle.Start(kRetrySeconds, this, &WrenDiscovery::HandlePublished);
        return;
    }
    if (opened != kIOReturnSuccess && opened != kIOReturnExclusiveAccess) {
        printf("Could not open device (error: %x)\n", opened);
        return;
    }
    IOUSBConfigurationDescriptorPtr descriptor = nullptr;
    if ((*interface)->GetConfigurationDescriptorPtr(interface, 0, &descriptor) == kIOReturnSuccess) {
        if (configuration == descriptor->bConfigurationValue) {
            printf("Config already set\n");
        } else {
            printf("Setting Config\n");
            (*interface)->SetConfiguration(interface, descriptor->bConfigurationValue);
        }
    }
    if ((*interface)->CreateDeviceAsyncEventSource(interface, &fDeviceSource) == kIOReturnSuccess) {
        CFRunLoopAddSource(CFRunLoopGetMain(), fDeviceSource, kCFRunLoopDefaultMode);
    }
    IOObjectRetain(service);
    fService = service;
    fBootLoader = bootLoader;
    fDevice = std::move(device);
    if (bootLoader) {
        OpenSAMBAInterface();
        return;
    }
    fClient.DeviceConnected(fDevice, ReadSerial());
}

std::string WrenDiscovery::ReadSerial()
{
    IOUSBDeviceInterface300** interface = fDevice->get();
    UInt8 index = 0;
    (*interface)->USBGetSerialNumberStringIndex(interface, &index);
    const uint16_t value = uint16_t(kStringDescriptor << 8 | index);
    uint8_t header[2] = {};
    IOUSBDevRequest length{0x80, 6, value, kLanguage, sizeof header, header, 0};
    if ((*interface)->DeviceRequest(interface, &length) != kIOReturnSuccess || length.wLenDone < 2) {
        return {};
    }
    uint8_t descriptor[256] = {};
    IOUSBDevRequest whole{0x80, 6, value, kLanguage, header[0], descriptor, 0};
    if ((*interface)->DeviceRequest(interface, &whole) != kIOReturnSuccess) {
        return {};
    }
    return DeviceReplies::SerialFromDescriptor(descriptor,
                                               std::min<size_t>(whole.wLenDone, sizeof descriptor));
}

void WrenDiscovery::OpenSAMBAInterface()
{
    if (!fDevice) {
        return;
    }
    IOUSBDeviceInterface300** device = fDevice->get();
    IOUSBFindInterfaceRequest request{10, 0, 0, kIOUSBFindInterfaceDontCare};
    io_iterator_t iterator = 0;
    io_service_t data = 0;
    if ((*device)->CreateInterfaceIterator(device, &request, &iterator) == kIOReturnSuccess) {
        data = IOIteratorNext(iterator);
        IOObjectRelease(iterator);
    }
    if (data == 0) {
        printf("Unable to find samba interface\n");
        return;
    }
    auto interface = std::make_shared<vork::IOCFComPtr<IOUSBInterfaceInterface300>>(
        QueryPlugIn<IOUSBInterfaceInterface300>(data, kIOUSBInterfaceUserClientTypeID,
                                                kIOUSBInterfaceInterfaceID300));
    IOObjectRelease(data);
    if (!*interface) {
        printf("Unable to find samba interface\n");
        return;
    }
    IOUSBInterfaceInterface300** opened = interface->get();
    const IOReturn result = (*opened)->USBInterfaceOpen(opened);
    if (result != kIOReturnSuccess) {
        printf("Unable to open samba interface (%08x)\n", result);
        printf("Retrying Interface...\n");
        fRetry.Start(kRetrySeconds, this, &WrenDiscovery::OpenSAMBAInterface);
        return;
    }
    if ((*opened)->CreateInterfaceAsyncEventSource(opened, &fInterfaceSource) == kIOReturnSuccess) {
        CFRunLoopAddSource(CFRunLoopGetMain(), fInterfaceSource, kCFRunLoopDefaultMode);
    }
    fInterface = std::move(interface);
    fClient.SAMBAConnected(fInterface);
}

void WrenDiscovery::Release()
{
    fRetry.Cancel();
    if (fInterface && *fInterface) {
        IOUSBInterfaceInterface300** interface = fInterface->get();
        (*interface)->USBInterfaceClose(interface);
    }
    if (fInterfaceSource != nullptr) {
        CFRunLoopRemoveSource(CFRunLoopGetMain(), fInterfaceSource, kCFRunLoopDefaultMode);
        fInterfaceSource = nullptr;
    }
    fInterface.reset();
    if (fDevice && *fDevice) {
        IOUSBDeviceInterface300** device = fDevice->get();
        (*device)->USBDeviceClose(device);
    }
    if (fDeviceSource != nullptr) {
        CFRunLoopRemoveSource(CFRunLoopGetMain(), fDeviceSource, kCFRunLoopDefaultMode);
        fDeviceSource = nullptr;
    }
    fDevice.reset();
    if (fService != 0) {
        IOObjectRelease(fService);
        fService = 0;
    }
}
