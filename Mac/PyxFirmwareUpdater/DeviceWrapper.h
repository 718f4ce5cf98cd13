#pragma once

// A device handle with the identity read from its descriptors. Copied freely; two wrappers are
// equal when they hold the same handle, whatever their strings say.

#include <TidePnpMgr.h>
#include <USBDeviceMac.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

class DeviceWrapper
{
public:
    using Handle = std::variant<std::shared_ptr<USBDevice>, std::shared_ptr<TideDevice>>;

    explicit DeviceWrapper(std::shared_ptr<USBDevice> device);
    explicit DeviceWrapper(std::shared_ptr<TideDevice> device);
    DeviceWrapper(Handle device, uint16_t productId, std::string productName, std::string serialNumber);

    bool controlTransfer(USBControlTransfer& transfer) const;
    explicit operator bool() const;
    bool operator==(const DeviceWrapper& other) const;

    const Handle& device() const { return fDevice; }
    uint16_t productId() const { return fProductId; }
    const std::string& productName() const { return fProductName; }
    const std::string& serialNumber() const { return fSerialNumber; }

private:
    void initInfo();

    Handle fDevice;
    uint16_t fProductId = 0xFFFF;
    std::string fProductName;
    std::string fSerialNumber;
};
