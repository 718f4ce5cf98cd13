#pragma once

// What IOServiceOpen reaches on a DriverKit service: NewUserClient on the service's Default queue.

#include <DriverKit/IOService.h>

#include <IOKit/platform/UserClient.h>

#include <mutex>

namespace DriverKitPlatform {

class ServiceUserClients : public IOKitPlatform::UserClientProvider
{
public:
    explicit ServiceUserClients(IOService* service) : fService(service) {}

    IOReturn open(uint32_t type, std::shared_ptr<IOKitPlatform::UserClientConnection>* connection) override;
    // The service is being freed: opens fail from now on.
    void forget();

private:
    std::mutex fLock;
    IOService* fService;
};

} // namespace DriverKitPlatform
