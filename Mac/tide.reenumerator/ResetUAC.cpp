#include "ResetUAC.h"

#include "KorvanDeviceIdentities.h"
#include "Log.h"

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>

#include <cstring>

namespace {

constexpr uint32_t kVorkVID = KorvanDeviceIdentities::kVendorID;
constexpr uint32_t kVorkPID[] = {KorvanDeviceIdentities::kWrenletProductID,
                                 KorvanDeviceIdentities::kPyxProductID};
constexpr const char* kClassDriverName = "AppleUSBAudioDevice";

using DeviceInterface = IOUSBDeviceInterface**;

// Owns one handle.
class IOObject
{
public:
    explicit IOObject(io_object_t object = 0) : fObject(object) {}
    ~IOObject() { reset(); }
    IOObject(const IOObject&) = delete;
    IOObject& operator=(const IOObject&) = delete;

    void reset(io_object_t object = 0)
    {
        if (fObject != 0) {
            IOObjectRelease(fObject);
        }
        fObject = object;
    }
    io_object_t get() const { return fObject; }
    io_object_t* out() { return &fObject; }

private:
    io_object_t fObject;
};

void SetNumber(CFMutableDictionaryRef dictionary, CFStringRef key, uint32_t value)
{
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    CFDictionarySetValue(dictionary, key, number);
    CFRelease(number);
}

bool IsClassDriver(io_object_t entry)
{
    io_name_t name = {};
    return IORegistryEntryGetName(entry, name) == KERN_SUCCESS && std::strcmp(name, kClassDriverName) == 0;
}

// The class driver sits on one of the device's interfaces: only a grandchild of that name counts.
bool HasClassDriver(io_service_t device)
{
    IOObject interfaces;
    if (IORegistryEntryGetChildIterator(device, kIOServicePlane, interfaces.out()) != KERN_SUCCESS) {
        return false;
    }
    for (;;) {
        IOObject interface(IOIteratorNext(interfaces.get()));
        if (interface.get() == 0) {
            return false;
        }
        IOObject children;
        if (IORegistryEntryGetChildIterator(interface.get(), kIOServicePlane, children.out()) !=
            KERN_SUCCESS) {
            continue;
        }
        for (IOObject child(IOIteratorNext(children.get())); child.get() != 0;
             child.reset(IOIteratorNext(children.get()))) {
            if (IsClassDriver(child.get())) {
                return true;
            }
        }
    }
}

DeviceInterface CopyDeviceInterface(io_service_t device)
{
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    const kern_return_t result = IOCreatePlugInInterfaceForService(device, kIOUSBDeviceUserClientTypeID,
                                                                   kIOCFPlugInInterfaceID, &plugIn, &score);
    if (result != KERN_SUCCESS || plugIn == nullptr) {
        TIDE_LOG(Log::Info, "ResetUACDrivers failed to create plugin interface %08x %d", result, score);
        return nullptr;
    }
    DeviceInterface interface = nullptr;
    const HRESULT queried = (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                                      reinterpret_cast<LPVOID*>(&interface));
    IODestroyPlugInInterface(plugIn);
    return queried == S_OK ? interface : nullptr;
}

bool IsVorkInterface(DeviceInterface interface)
{
    UInt16 vendor = 0;
    UInt16 product = 0;
    (*interface)->GetDeviceVendor(interface, &vendor);
    (*interface)->GetDeviceProduct(interface, &product);
    return vendor == kVorkVID && (product & ~2u) == KorvanDeviceIdentities::kWrenletProductID;
}

void ReEnumerate(io_service_t device, DeviceInterface interface)
{
    const IOReturn opened = (*interface)->USBDeviceOpen(interface);
    if (opened != kIOReturnSuccess && opened != kIOReturnExclusiveAccess) {
        TIDE_LOG(Log::Info, "Failed to open interface %p - %p (err %08x)",
                 reinterpret_cast<void*>(uintptr_t(device)), static_cast<void*>(interface), opened);
        return;
    }
    TIDE_LOG(Log::Info, "Opened interface %p - %p reenumerating", reinterpret_cast<void*>(uintptr_t(device)),
             static_cast<void*>(interface));
    // Another client holding the device must not keep it from the maker's driver.
    const UInt32 options = opened == kIOReturnExclusiveAccess ? kUSBReEnumerateCaptureDeviceMask : 0;
    const IOReturn result = (*interface)->USBDeviceReEnumerate(interface, options);
    TIDE_LOG(Log::Info, "USBDeviceReEnumerate returned %08x", result);
    (*interface)->USBDeviceClose(interface);
}

void ResetDevice(io_service_t device)
{
    if (!HasClassDriver(device)) {
        return;
    }
    DeviceInterface interface = CopyDeviceInterface(device);
    if (interface == nullptr) {
        return;
    }
    if (IsVorkInterface(interface)) {
        ReEnumerate(device, interface);
    }
    (*interface)->Release(interface);
}

} // namespace

void ResetUAC()
{
    TIDE_LOG(Log::Info, "%s", "void ResetUAC()");
    for (const uint32_t product : kVorkPID) {
        CFMutableDictionaryRef matching = IOServiceMatching("IOUSBHostDevice");
        SetNumber(matching, CFSTR("idVendor"), kVorkVID);
        SetNumber(matching, CFSTR("idProduct"), product);
        IOObject devices;
        if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, devices.out()) != KERN_SUCCESS) {
            continue;
        }
        for (IOObject device(IOIteratorNext(devices.get())); device.get() != 0;
             device.reset(IOIteratorNext(devices.get()))) {
            ResetDevice(device.get());
        }
    }
}
