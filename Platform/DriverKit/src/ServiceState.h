#pragma once

// What the platform keeps for each service: its queues, properties, registry entry, place in the
// tree of providers and clients, and the state of its life.

#include <DriverKit/IOService.h>

#include <IOKit/platform/Registry.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace DriverKitPlatform {

class ServiceUserClients;

struct ServiceState
{
    std::mutex lock;
    IODispatchQueue* defaultQueue = nullptr;
    std::vector<std::pair<std::string, IODispatchQueue*>> queues;
    OSDictionary* properties = nullptr;
    std::shared_ptr<IOKitPlatform::RegistryEntry> entry;
    std::shared_ptr<ServiceUserClients> userClients;
    std::vector<std::string> classChain;
    IOService* provider = nullptr;
    // Services and clients attached under this one, with a reference each.
    std::vector<IOService*> children;
    bool started = false;
    // A driver of another layer won this nub.
    bool drivenByOtherLayer = false;
    bool terminated = false;
    uint32_t powerState = 2;
    uint64_t maxBusStall = 0;

    // The queue installed under `name`, else the Default queue; retained for the caller.
    IODispatchQueue* copyQueue(const char* name);
};

} // namespace DriverKitPlatform
