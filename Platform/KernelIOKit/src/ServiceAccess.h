#pragma once

// What the platform and its test hooks read of a kernel service.

#include <IOKit/IOService.h>

#include <vector>

inline namespace kernel {

struct IOServicePowerRecord
{
    bool fPMInitialised = false;
    IOService* fPowerParent = nullptr;
    IOService* fPowerDriver = nullptr;
    std::vector<IOPMPowerState> fStates;
};

struct IOServiceAccess
{
    static IOServiceState& state(const IOService* service);
    static IOServicePowerRecord power(const IOService* service);
    static UInt32 maxBusStall(const IOService* service);
    static UInt32 maxInterruptDelay(const IOService* service);
};

} // namespace kernel
