#pragma once

// The services of the Wrenlet's USB audio interfaces: the probe for the maker's product 12, start
// and stop with power management, and sleep and wake through the power states.

#include <IOKit/IOService.h>

class com_vork_driver_tide_base_interface : public IOService
{
    OSDeclareDefaultStructors(com_vork_driver_tide_base_interface)

        public : IOService* probe(IOService* provider, SInt32* score) override;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool willTerminate(IOService* provider, IOOptionBits options) override;
    IOReturn setPowerState(unsigned long powerStateOrdinal, IOService* whatDevice) override;

    virtual void Sleep();
    virtual void Wake();

protected:
    // The next instance number, counted over every start of these services in the process.
    void TakeInstanceNumber();
    // Power management and publication, as every start does them.
    void RegisterPowerAndPublish(IOService* provider);
    // "VORK STOP BASE IFACE", PMstop and the IOService stop.
    void StopBase(IOService* provider);

    uint32_t fInstance = 0;
};
