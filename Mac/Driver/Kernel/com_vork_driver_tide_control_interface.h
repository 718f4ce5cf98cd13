#pragma once

// The audio-control interface's service, which the plug-in finds by class name: it evicts the
// system's class driver, owns the USB provider and the two user-client slots, and passes the
// device's notifications to the clients.

#include "com_vork_driver_tide_base_interface.h"
#include "com_vork_driver_tide_provider.h"

#include <IOKit/usb/IOUSBHostInterface.h>

class com_vork_driver_tide_userClient;

class com_vork_driver_tide_control_interface : public com_vork_driver_tide_base_interface
{
    OSDeclareDefaultStructors(com_vork_driver_tide_control_interface)

        public : bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool willTerminate(IOService* provider, IOOptionBits options) override;
    IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary* properties,
                           IOUserClient** handler) override;

    // With the work-loop gate closed.
    void UserClientClosed(com_vork_driver_tide_userClient* client);
    void NotifyUserClient(UInt32 clientType, UInt32 type, const void* data, UInt32 length);
    // Retained for the caller; null without a provider.
    IOMemoryDescriptor* GetBufferDesc(int memoryType);
    com_vork_driver_tide_provider* GetProvider() const { return fProvider; }

    void Sleep() override;
    void Wake() override;

protected:
    // The hardware behind the service; null when it cannot be made.
    virtual com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface);

private:
    // Whether the system's class driver holds the device at our location; it then asks for the
    // re-enumeration that unloads it.
    bool EvictClassDriver(IOUSBHostDevice* device);
    // With the gate closed: a new client of this type in its slot, or the refusal of a taken slot.
    IOReturn OpenClientInSlot(com_vork_driver_tide_userClient** slot, task_t owningTask, void* securityID,
                              UInt32 type, OSDictionary* properties, IOUserClient** handler);
    void LogLoadFailure(int line);

    bool fSleeping = false;
    IOUSBHostInterface* fInterface = nullptr;
    com_vork_driver_tide_provider* fProvider = nullptr;
    com_vork_driver_tide_userClient* fTestClient = nullptr;
    com_vork_driver_tide_userClient* fAudioClient = nullptr;
};
