#pragma once

// A USB device on the bus: its descriptors, control requests on the default pipe, the bus frame
// number, and its interfaces as children. Its registry properties are "idVendor", "idProduct",
// "bcdDevice" and "locationID".

#include <IOKit/IOService.h>
#include <IOKit/usb/StandardUSB.h>

inline namespace kernel {

struct IOUSBHostDeviceCore;

class IOUSBHostDevice : public IOService
{
    OSDeclareDefaultStructors(IOUSBHostDevice)

        public : const StandardUSB::DeviceDescriptor* getDeviceDescriptor() const;
    // The current configuration, whole; walks over it stop where the device's bytes end.
    const StandardUSB::ConfigurationDescriptor* getConfigurationDescriptor() const;
    // The string as the device returned it, kept by the device; null when it returned none.
    // `bytesReturned` receives the count.
    const StandardUSB::StringDescriptor* getStringDescriptor(uint8_t index, uint16_t languageID = 0x0409,
                                                             uint32_t* bytesReturned = nullptr);

    // A control request on the default pipe; blocks the caller. `data` holds wLength bytes.
    IOReturn deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request, void* data,
                           uint32_t& bytesTransferred, uint32_t completionTimeoutMs);
    // The current bus frame and, when asked, the host time it began.
    uint64_t getFrameNumber(AbsoluteTime* theTime = nullptr) const;

    // Asks the bus to enumerate the device again, which takes its nubs and their services away; the
    // request is carried out on another thread, and only once the calling start has returned when
    // the platform's matching runs that start.
    IOReturn reset();

    // Every interface and pipe of the device shares this loop.
    IOWorkLoop* getWorkLoop() const override;

    void free() override;

private:
    friend struct IOUSBHostAccess;
    IOUSBHostDeviceCore* fCore = nullptr;
};

} // namespace kernel
