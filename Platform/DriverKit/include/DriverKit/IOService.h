#pragma once

// A service in the registry. The platform creates driver services from their personalities when a
// provider appears, runs init and Start on the service's Default queue, and Stop when the provider
// goes. Overrides call their superclass's method as an ordinary C++ call.

#include <DriverKit/IODispatchQueue.h>
#include <DriverKit/OSDictionary.h>

class IOUserClient;

namespace DriverKitPlatform {
struct ServiceState;
}

class IOService : public OSObject
{
public:
    IOService();

    bool init() override;
    void free() override;

    virtual kern_return_t Start(IOService* provider);
    virtual kern_return_t Stop(IOService* provider);
    // The system's part records the state and acknowledges it.
    virtual kern_return_t SetPowerState(uint32_t powerFlags);
    // The system's part serves no client type: kIOReturnUnsupported.
    virtual kern_return_t NewUserClient(uint32_t type, IOUserClient** userClient);

    // Makes the service visible to user space: "IOServiceFirstPublish" notifications fire now.
    kern_return_t RegisterService();
    // Merges `properties` into the service's, which user space reads through the registry.
    kern_return_t SetProperties(OSDictionary* properties);
    kern_return_t CopyProperties(OSDictionary** properties);

    // Instantiates the IOUserClass of the dictionary under `propertiesKey` in this service's
    // properties, attaches it under `provider` with that dictionary as its properties, and runs its
    // init and Start.
    kern_return_t Create(IOService* provider, const char* propertiesKey, IOService** result);

    kern_return_t SetDispatchQueue(const char* name, IODispatchQueue* queue);
    kern_return_t CopyDispatchQueue(const char* name, IODispatchQueue** queue);

    // Recorded; the simulated bus has no stall effects.
    kern_return_t RequireMaxBusStall(uint64_t maxBusStall);

    // Platform.
    DriverKitPlatform::ServiceState& platformState() { return *fState; }

private:
    DriverKitPlatform::ServiceState* fState = nullptr;
};
