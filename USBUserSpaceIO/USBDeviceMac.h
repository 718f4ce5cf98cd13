#pragma once

// One opened USB device: its descriptors and synchronous control transfers on the default pipe.
// Made by the plug-and-play manager on the USB thread; the transfers and descriptor reads may be
// called from any thread, since they touch only the device interface, fixed after the open.

#include <USBControlTransfer.h>

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
