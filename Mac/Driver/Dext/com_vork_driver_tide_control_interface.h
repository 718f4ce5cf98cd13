#pragma once

// The driver's service on the device's audio-control interface: it creates the USB provider,
// publishes the device's UID, registers so the plug-in finds it, keeps one audio and one test user
// client, forwards the device's notifications to them, and stops and restarts the hardware around
// sleep.

#include "com_vork_driver_tide_base_interface.h"
#include "com_vork_driver_tide_provider.h"

#include <USBDriverKit/IOUSBHostInterface.h>

class com_vork_driver_tide_userClient;

// The registry property that carries the device's UID.
inline constexpr const char* kTideAudio_RegistryKey_DeviceUID = "com_vork_driver_tide_device_UID";

class com_vork_driver_tide_control_interface : public com_vork_driver_tide_base_interface
{
public:
    bool init() override;
    void free() override;
    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;
    kern_return_t NewUserClient(uint32_t type, IOUserClient** userClient) override;

    void Sleep() override;
    void Wake() override;

    // Runs on the device queue.
    void UserClientClosed(com_vork_driver_tide_userClient* userClient);
    com_vork_driver_tide_provider* GetProvider() const;
    // Retained for the caller.
    IOMemoryDescriptor* GetBufferDesc(int type);
    void NotifyUserClient(uint32_t clientType, uint32_t notificationType, const void* data, uint32_t length);

protected:
    // The hardware behind the service; null when it cannot be made.
    virtual com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface);

private:
    struct Ivars;

    kern_return_t startOnDeviceQueue(IOService* provider, IOUSBHostInterface* interface);
    void publishUID();

    Ivars* ivars = nullptr;
};
