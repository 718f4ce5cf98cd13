#pragma once

// The running Wrenlet: its device interface under shared ownership, and the vendor requests the
// updater sends it. Requests may come from any thread; once detached, every request fails with
// kIOReturnNoDevice and nothing more reaches the device.

#include <IOKit/usb/IOUSBLib.h>

#include "IOCFComPtr.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class WRNA
{
public:
    static constexpr uint16_t kUpdaterIndex = 7;
    static constexpr uint8_t kRequestBootLoader = 0x03;
    static constexpr uint8_t kRequestReset = 0x04;
    static constexpr uint8_t kRequestFirmwareVersion = 0x05;
    static constexpr uint8_t kRequestFPGAVersion = 0x06;
    static constexpr uint16_t kVersionLength = 16;

    explicit WRNA(std::shared_ptr<vork::IOCFComPtr<IOUSBDeviceInterface300>> device);

    IOReturn DeviceRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
                           uint16_t length, uint32_t* done = nullptr);

    // 0x40/0x03: the firmware clears its boot flag and resets into the ROM boot loader.
    IOReturn RebootToBootLoader();
    // 0x40/0x04.
    IOReturn Reset();
    // 0xC0/0x05 and 0xC0/0x06: the text the device sent, ended at the bytes it sent or at its NUL;
    // empty when the request failed.
    std::string FirmwareVersion();
    std::string FPGAVersion();

    void Detach();

private:
    std::string ReadVersion(uint8_t request);

    std::mutex fLock;
    std::shared_ptr<vork::IOCFComPtr<IOUSBDeviceInterface300>> fDevice;
};
