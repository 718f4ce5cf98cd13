#pragma once

// A device seen from user space: the device nub on its port, reached through the USB device
// plug-in's DeviceRequest and held open at will, with waits (each with a real-time limit) for the
// unit's face to change.

#include <CoreFoundation/CFNumber.h>
#include <DarwinTesting/Eventually.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace PyxTests {

struct Reply
{
    IOReturn result = kIOReturnSuccess;
    std::vector<uint8_t> bytes;
};

// One open device plug-in of whatever is on the port when it is made.
class UserDevice
{
public:
    explicit UserDevice(uint8_t port)
    {
        DriverKitPlatform::startUSB();
        const io_service_t nub = copyNub(port);
        if (nub == 0)
            return;
        IOCFPlugInInterface** plugIn = nullptr;
        SInt32 score = 0;
        if (IOCreatePlugInInterfaceForService(nub, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                              &plugIn, &score) == KERN_SUCCESS) {
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID300),
                                      reinterpret_cast<LPVOID*>(&fDevice));
            IODestroyPlugInInterface(plugIn);
        }
        IOObjectRelease(nub);
    }
    ~UserDevice()
    {
        if (fDevice != nullptr)
            (*fDevice)->Release(fDevice);
    }
    UserDevice(const UserDevice&) = delete;
    UserDevice& operator=(const UserDevice&) = delete;

    explicit operator bool() const { return fDevice != nullptr; }

    // Holding the device open, as another client does.
    IOReturn open() { return (*fDevice)->USBDeviceOpen(fDevice); }
    IOReturn close() { return (*fDevice)->USBDeviceClose(fDevice); }
    IOReturn setConfiguration(uint8_t value) { return (*fDevice)->SetConfiguration(fDevice, value); }

    uint16_t product() const
    {
        UInt16 product = 0;
        return fDevice != nullptr && (*fDevice)->GetDeviceProduct(fDevice, &product) == kIOReturnSuccess
                   ? product
                   : 0;
    }

    Reply request(uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data)
    {
        IOUSBDevRequest setup{type, request, value, index, uint16_t(data.size()), data.data(), 0};
        Reply reply;
        reply.result = (*fDevice)->DeviceRequest(fDevice, &setup);
        data.resize(reply.result == kIOReturnSuccess ? setup.wLenDone : 0);
        reply.bytes = std::move(data);
        return reply;
    }
    Reply in(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
    {
        return this->request(type, request, value, index, std::vector<uint8_t>(length));
    }

    static io_service_t copyNub(uint8_t port)
    {
        CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
        const uint32_t location = 0x01000000u | uint32_t(port) << 20;
        CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &location);
        CFDictionarySetValue(matching, CFSTR("locationID"), number);
        CFRelease(number);
        io_iterator_t devices = 0;
        if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, &devices) != KERN_SUCCESS)
            return 0;
        const io_service_t device = IOIteratorNext(devices);
        IOObjectRelease(devices);
        return device;
    }

private:
    IOUSBDeviceInterface300** fDevice = nullptr;
};

// Waits until the port holds a device of `product`.
inline bool appears(uint8_t port, uint16_t product)
{
    return DarwinTesting::eventually([&] { return UserDevice(port).product() == product; });
}

// Waits until the port is empty.
inline bool leaves(uint8_t port)
{
    return DarwinTesting::eventually([&] {
        const io_service_t nub = UserDevice::copyNub(port);
        IOObjectRelease(nub);
        return nub == 0;
    });
}

} // namespace PyxTests
