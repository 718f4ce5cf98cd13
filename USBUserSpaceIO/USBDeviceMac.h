#pragma once

// One opened USB device: its descriptors, synchronous control transfers on the default pipe, and
// its interfaces. Made by the plug-and-play manager on the USB thread; the transfers and descriptor
// reads may be called from any thread, since they touch only the device interface, fixed after the
// open. Interfaces are looked up on the USB thread.

#include <USBControlTransfer.h>
#include <USBDeviceInterfaceMac.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class USBDevice : public std::enable_shared_from_this<USBDevice>
{
public:
    class Impl;

    USBDevice() = default;
    ~USBDevice();
    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    // The first interface of the current configuration, alternate setting 0, with that class,
    // subclass and protocol, opened; null when there is none or it does not open.
    std::shared_ptr<USBDeviceInterface> findInterface(unsigned short interfaceClass, unsigned short subClass,
                                                      unsigned short protocol);
    // The standard 18-byte device descriptor; zeros when it cannot be read.
    std::vector<uint8_t> getDeviceDescriptor();
    bool controlTransfer(USBControlTransfer& transfer);
    // The low byte of each UTF-16 unit; empty when it cannot be read.
    std::string getStringDescriptor(uint8_t index);

    Impl* impl() const { return fImpl.get(); }
    void setImpl(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> fImpl;
};
