#pragma once

// One interface of a USB device's current configuration. One client opens it at a time; it
// selects alternate settings and hands out the pipes of the current one.

#include <IOKit/usb/IOUSBHostDevice.h>
#include <IOKit/usb/IOUSBHostPipe.h>

inline namespace kernel {

class IOUSBHostInterface : public IOService
{
    OSDeclareDefaultStructors(IOUSBHostInterface)

        public : IOUSBHostDevice* getDevice() const;
    // The descriptor of the current alternate setting; null once the device has gone.
    const StandardUSB::InterfaceDescriptor* getInterfaceDescriptor() const;
    const StandardUSB::ConfigurationDescriptor* getConfigurationDescriptor() const;

    // SET_INTERFACE on the bus; pipes copied before stay those of the old setting.
    IOReturn selectAlternateSetting(uint8_t alternateSetting);
    // The pipe of an endpoint of the current setting, retained for the caller; null when there is
    // none.
    IOUSBHostPipe* copyPipe(uint8_t address);

    IOReturn deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request, void* data,
                           uint32_t& bytesTransferred, uint32_t completionTimeoutMs);
    uint64_t getFrameNumber(AbsoluteTime* theTime = nullptr) const;
    IOWorkLoop* getWorkLoop() const override;

private:
    friend struct IOUSBHostAccess;
    uint8_t fInterfaceNumber = 0;
};

} // namespace kernel
