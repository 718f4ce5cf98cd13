#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "UserClientSeam.h"

#include <IOKit/IOUserClient.h>
#include <libkern/c++/OSArray.h>
#include <libkern/c++/OSString.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

OSDefineMetaClassAndStructors(IOService, IORegistryEntry)
#define super IORegistryEntry

    inline namespace kernel
{

    struct IOServiceState
    {
        std::mutex fMutex;
        std::atomic<bool> fInactive{false};
        IOService* fOpenedBy = nullptr;
        UInt32 fMaxBusStall = 0;
        UInt32 fMaxInterruptDelay = 0;
        IOServicePowerRecord fPower;
    };

} // namespace kernel

namespace {

// Published kernel services, not held: a service leaves the list when it terminates or is freed.
struct PublishedServices
{
    std::mutex fMutex;
    std::vector<IOService*> fServices;
};

PublishedServices& published()
{
    static PublishedServices services;
    return services;
}

void unpublish(IOService* service)
{
    std::lock_guard lock(published().fMutex);
    std::erase(published().fServices, service);
}

bool isKindOf(const OSObject* object, const char* className)
{
    for (const OSMetaClass* metaClass = object->getMetaClass(); metaClass;
         metaClass = metaClass->getSuperClass()) {
        if (std::strcmp(metaClass->getClassName(), className) == 0) {
            return true;
        }
    }
    return false;
}

// The service children of `entry`, each retained.
std::vector<IOService*> copyServiceChildren(const IOService* service)
{
    std::vector<IOService*> services;
    for (IORegistryEntry* child : IORegistryEntryAccess::copyChildren(service)) {
        if (auto* childService = OSDynamicCast(IOService, child)) {
            services.push_back(childService);
        } else {
            child->release();
        }
    }
    return services;
}

void willTerminateBelow(IOService* service, IOOptionBits options)
{
    for (IOService* child : copyServiceChildren(service)) {
        IOServiceAccess::state(child).fInactive.store(true);
        unpublish(child);
        child->willTerminate(service, options);
        willTerminateBelow(child, options);
        child->release();
    }
}

void stopBelow(IOService* service)
{
    for (IOService* child : copyServiceChildren(service)) {
        stopBelow(child);
        child->stop(service);
        // A user client stays attached until its connection closes, so a late clientClose still
        // finds its provider.
        const auto* client = OSDynamicCast(IOUserClient, child);
        if (!client || IOUserClientAccess::connectionClosed(client)) {
            child->detach(service);
        }
        child->release();
    }
}

} // namespace

IOServiceState& IOServiceAccess::state(const IOService* service)
{
    return *service->fServiceState;
}

bool IOServiceAccess::initWithPlatformEntry(IOService* service,
                                            std::shared_ptr<IOKitPlatform::RegistryEntry> entry)
{
    if (service->fServiceState || !IORegistryEntryAccess::initWithPlatformEntry(service, std::move(entry))) {
        return false;
    }
    service->fServiceState = new IOServiceState;
    return true;
}

void IOServiceAccess::markPublished(IOService* service)
{
    std::lock_guard lock(published().fMutex);
    published().fServices.push_back(service);
}

IOServicePowerRecord IOServiceAccess::power(const IOService* service)
{
    std::lock_guard lock(service->fServiceState->fMutex);
    return service->fServiceState->fPower;
}

UInt32 IOServiceAccess::maxBusStall(const IOService* service)
{
    std::lock_guard lock(service->fServiceState->fMutex);
    return service->fServiceState->fMaxBusStall;
}

UInt32 IOServiceAccess::maxInterruptDelay(const IOService* service)
{
    std::lock_guard lock(service->fServiceState->fMutex);
    return service->fServiceState->fMaxInterruptDelay;
}

bool IOService::init(OSDictionary* dictionary)
{
    if (fServiceState || !super::init(dictionary)) {
        return false;
    }
    fServiceState = new IOServiceState;
    return true;
}

void IOService::free()
{
    unpublish(this);
    KernelIOKitPlatform::withdrawUserClients(this);
    delete fServiceState;
    fServiceState = nullptr;
    super::free();
}

IOService* IOService::probe(IOService*, SInt32*)
{
    return this;
}

bool IOService::start(IOService* provider)
{
    return provider != nullptr;
}

void IOService::stop(IOService*) {}

bool IOService::attach(IOService* provider)
{
    return provider && !provider->isInactive() && attachToParent(provider, gIOServicePlane);
}

void IOService::detach(IOService* provider)
{
    detachFromParent(provider, gIOServicePlane);
}

IOService* IOService::getProvider() const
{
    return OSDynamicCast(IOService, getParentEntry(gIOServicePlane));
}

bool IOService::willTerminate(IOService*, IOOptionBits)
{
    return true;
}

bool IOService::terminate(IOOptionBits options)
{
    if (fServiceState->fInactive.exchange(true)) {
        return false;
    }
    retain();
    unpublish(this);
    KernelIOKitPlatform::withdrawUserClients(this);
    IOService* provider = getProvider();
    if (provider) {
        provider->retain();
        willTerminate(provider, options);
    }
    willTerminateBelow(this, options);
    if (auto platform = IORegistryEntryAccess::platformEntry(this)) {
        platform->terminate();
    }
    stopBelow(this);
    if (provider) {
        stop(provider);
        detach(provider);
        provider->release();
    }
    release();
    return true;
}

bool IOService::isInactive() const
{
    return fServiceState && fServiceState->fInactive.load();
}

bool IOService::open(IOService* forClient, IOOptionBits, void*)
{
    if (!forClient || isInactive()) {
        return false;
    }
    std::lock_guard lock(fServiceState->fMutex);
    if (fServiceState->fOpenedBy && fServiceState->fOpenedBy != forClient) {
        return false;
    }
    fServiceState->fOpenedBy = forClient;
    return true;
}

void IOService::close(IOService* forClient, IOOptionBits)
{
    std::lock_guard lock(fServiceState->fMutex);
    if (fServiceState->fOpenedBy == forClient) {
        fServiceState->fOpenedBy = nullptr;
    }
}

bool IOService::isOpen(const IOService* forClient) const
{
    std::lock_guard lock(fServiceState->fMutex);
    return forClient ? fServiceState->fOpenedBy == forClient : fServiceState->fOpenedBy != nullptr;
}

IOWorkLoop* IOService::getWorkLoop() const
{
    IOService* provider = getProvider();
    return provider ? provider->getWorkLoop() : nullptr;
}

void IOService::registerService(IOOptionBits)
{
    if (isInactive()) {
        return;
    }
    IOServiceAccess::markPublished(this);
    if (auto platform = IORegistryEntryAccess::platformEntry(this)) {
        KernelIOKitPlatform::publishUserClients(this);
        platform->registerService();
    }
}

OSDictionary* IOService::serviceMatching(const char* className, OSDictionary* table)
{
    OSString* name = OSString::withCString(className);
    if (!name) {
        return nullptr;
    }
    OSDictionary* matching = table;
    if (matching) {
        matching->retain();
    } else {
        matching = OSDictionary::withCapacity(1);
    }
    matching->setObject("IOProviderClass", name);
    name->release();
    return matching;
}

OSIterator* IOService::getMatchingServices(OSDictionary* matching)
{
    const auto* className =
        matching ? OSDynamicCast(OSString, matching->getObject("IOProviderClass")) : nullptr;
    if (!className) {
        return nullptr;
    }
    OSArray* services = OSArray::withCapacity(4);
    {
        std::lock_guard lock(published().fMutex);
        for (IOService* service : published().fServices) {
            if (!service->isInactive() && isKindOf(service, className->getCStringNoCopy())) {
                services->setObject(service);
            }
        }
    }
    OSIterator* iterator = OSCollectionIterator::withCollection(services);
    services->release();
    return iterator;
}

IOReturn IOService::newUserClient(task_t, void*, UInt32, OSDictionary*, IOUserClient**)
{
    return kIOReturnUnsupported;
}

IOReturn IOService::requireMaxBusStall(UInt32 nanoseconds)
{
    std::lock_guard lock(fServiceState->fMutex);
    fServiceState->fMaxBusStall = nanoseconds;
    return kIOReturnSuccess;
}

IOReturn IOService::requireMaxInterruptDelay(UInt32 nanoseconds)
{
    std::lock_guard lock(fServiceState->fMutex);
    fServiceState->fMaxInterruptDelay = nanoseconds;
    return kIOReturnSuccess;
}

void IOService::PMinit()
{
    std::lock_guard lock(fServiceState->fMutex);
    fServiceState->fPower.fPMInitialised = true;
}

void IOService::PMstop()
{
    std::lock_guard lock(fServiceState->fMutex);
    fServiceState->fPower = {};
}

void IOService::joinPMtree(IOService* driver)
{
    if (!driver || !driver->fServiceState) {
        return;
    }
    std::lock_guard lock(driver->fServiceState->fMutex);
    driver->fServiceState->fPower.fPowerParent = this;
}

IOReturn IOService::registerPowerDriver(IOService* controllingDriver, IOPMPowerState* powerStates,
                                        unsigned long numberOfStates)
{
    if (!controllingDriver || !powerStates || numberOfStates == 0) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(fServiceState->fMutex);
    fServiceState->fPower.fPowerDriver = controllingDriver;
    fServiceState->fPower.fStates.assign(powerStates, powerStates + numberOfStates);
    return kIOReturnSuccess;
}

IOReturn IOService::setPowerState(unsigned long, IOService*)
{
    return kIOPMAckImplied;
}
