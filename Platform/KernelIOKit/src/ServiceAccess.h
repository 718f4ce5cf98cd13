#pragma once

// What the platform and its test hooks read of a kernel service.

#include <IOKit/IOService.h>
#include <IOKit/IOUserClient.h>

#include <IOKit/platform/Registry.h>

#include <memory>
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
    // Initialises `service` as the kernel face of an existing registry entry.
    static bool initWithPlatformEntry(IOService* service,
                                      std::shared_ptr<IOKitPlatform::RegistryEntry> entry);
    // Lists a service whose entry another layer published, so getMatchingServices finds it.
    static void markPublished(IOService* service);
    static IOServicePowerRecord power(const IOService* service);
    static UInt32 maxBusStall(const IOService* service);
    static UInt32 maxInterruptDelay(const IOService* service);
};

struct IOUserClientAccess
{
    static void markConnectionClosed(IOUserClient* client) { client->fConnectionClosed.store(true); }
    static bool connectionClosed(const IOUserClient* client) { return client->fConnectionClosed.load(); }
};

} // namespace kernel
