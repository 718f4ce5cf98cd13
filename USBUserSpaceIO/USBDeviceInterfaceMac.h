#pragma once

// One opened interface of a USB device: its class, its pipes and asynchronous reads from its input
// pipes. Made by USBDevice::findInterface on the USB thread; the completions of reads run there.

#include <USBPipeInfo.h>

#include <VFunctor.h>

#include <cstdint>
#include <memory>
#include <vector>

class USBDeviceInterface
{
public:
    class Impl;
    using ReadCompletion = vork::vfunctor<void(bool, unsigned int), 128>;

    USBDeviceInterface();
    ~USBDeviceInterface();
    USBDeviceInterface(const USBDeviceInterface&) = delete;
    USBDeviceInterface& operator=(const USBDeviceInterface&) = delete;

    void close();
    // Queues a read of up to `length` bytes from the input pipe of endpoint `address`; false when
    // nothing was queued. The completion runs once, on the USB thread, with success and the byte
    // count.
    bool readPipeAsync(unsigned char address, void* buffer, unsigned int length, ReadCompletion completion);

    uint8_t getInterfaceClass() const;
    uint8_t getInterfaceSubClass() const;
    uint8_t getInterfaceProtocol() const;
    std::vector<USBPipeInfo> getInputPipes() const;
    std::vector<USBPipeInfo> getOutputPipes() const;

    Impl* impl() const { return fImpl.get(); }

private:
    std::unique_ptr<Impl> fImpl;
};
