#include "DirectConnection.h"

#include <DriverKit/platform/UserClientAdapters.h>

#include <chrono>

namespace DextTesting {

namespace {

std::mutex gLock;
std::weak_ptr<DriverKitPlatform::UserClientConnection> gLast;

class KeepingProvider : public IOKitPlatform::UserClientProvider
{
public:
    explicit KeepingProvider(std::shared_ptr<IOKitPlatform::UserClientProvider> plain)
        : fPlain(std::move(plain))
    {}

    IOReturn open(uint32_t type, std::shared_ptr<IOKitPlatform::UserClientConnection>* connection) override
    {
        const IOReturn status = fPlain->open(type, connection);
        if (status == kIOReturnSuccess) {
            std::lock_guard lock(gLock);
            gLast = std::dynamic_pointer_cast<DriverKitPlatform::UserClientConnection>(*connection);
        }
        return status;
    }

private:
    std::shared_ptr<IOKitPlatform::UserClientProvider> fPlain;
};

} // namespace

void keepConnections()
{
    DriverKitPlatform::wrapUserClientProviders(
        "com_vork_driver_tide_control_interface",
        [](std::shared_ptr<IOKitPlatform::UserClientProvider> plain) {
            return std::static_pointer_cast<IOKitPlatform::UserClientProvider>(
                std::make_shared<KeepingProvider>(std::move(plain)));
        });
}

std::shared_ptr<DriverKitPlatform::UserClientConnection> lastConnection()
{
    std::lock_guard lock(gLock);
    return gLast.lock();
}

Completions::Completions()
{
    fTarget = new IOService;
    fTarget->init();
    IODispatchQueue::Create("Completions", 0, 0, &fQueue);
    fTarget->SetDispatchQueue("Default", fQueue);
    OSAction::Create(fTarget, "Default", sizeof(Completions*), completed, &fAction);
    *static_cast<Completions**>(fAction->GetReference()) = this;
}

Completions::~Completions()
{
    fAction->Cancel([] {});
    fQueue->DispatchSync([] {});
    fAction->release();
    fTarget->release();
    fQueue->release();
}

void Completions::completed(OSObject*, OSAction* action, IOReturn status, const uint64_t*, uint32_t)
{
    Completions* self = *static_cast<Completions**>(action->GetReference());
    std::lock_guard lock(self->fLock);
    self->fStatuses.push_back(status);
    self->fChanged.notify_all();
}

std::vector<IOReturn> Completions::waitFor(size_t count)
{
    std::unique_lock lock(fLock);
    fChanged.wait_for(lock, std::chrono::seconds(10), [&] { return fStatuses.size() >= count; });
    return fStatuses;
}

std::vector<IOReturn> Completions::settled()
{
    fQueue->DispatchSync([] {});
    std::lock_guard lock(fLock);
    return fStatuses;
}

} // namespace DextTesting
