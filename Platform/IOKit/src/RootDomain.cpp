#include "RootDomain.h"

#include "Registry.h"

#include <Darwin/Clock.h>
#include <IOKit/IOMessage.h>

#include <algorithm>
#include <utility>

namespace IOKit {

namespace {

// How long a sleep waits for the registrations' acknowledgements.
constexpr uint64_t kAcknowledgementTimeout = 30'000'000'000ull;

} // namespace

void PowerRegistration::deliver(uint32_t message, intptr_t argument)
{
    fCallback(fRefCon, RootDomain::shared().service(), message, reinterpret_cast<void*>(argument));
}

void PowerNotifier::lastReferenceReleased()
{
    RootDomain::shared().deregister(*fRegistration);
}

RootDomain& RootDomain::shared()
{
    static RootDomain* domain = new RootDomain;
    return *domain;
}

RootDomain::RootDomain()
{
    auto entry = IOKitPlatform::RegistryEntry::create({"IOPMrootDomain", "IOService"});
    entry->registerService();
    // Held for good: the callbacks' service argument.
    fService = HandleTable::shared().retainEntry(entry);
}

io_connect_t RootDomain::registerForSystemPower(void* refCon, IOServiceInterestCallback callback,
                                                IONotificationPortRef* port, io_object_t* notifier)
{
    std::shared_ptr<NotificationPort> notificationPort = NotificationPort::create();
    if (!notificationPort) {
        return 0;
    }
    auto registration = std::make_shared<PowerRegistration>(refCon, callback, notificationPort);
    registration->fConnection = HandleTable::shared().add(std::make_shared<RootDomainConnection>());
    *notifier = HandleTable::shared().add(std::make_shared<PowerNotifier>(registration));
    *port = new IONotificationPort{notificationPort};
    std::lock_guard lock(fLock);
    fRegistrations.push_back(registration);
    return registration->fConnection;
}

void RootDomain::deregister(PowerRegistration& registration)
{
    {
        std::lock_guard lock(fLock);
        registration.fRegistered = false;
        std::erase_if(fRegistrations, [&](const auto& known) { return known.get() == &registration; });
        fChanged.notify_all();
    }
    registration.fPort->withdraw(registration);
}

void RootDomain::failNextDeregistration(IOReturn result)
{
    std::lock_guard lock(fLock);
    fDeregistrationFault = result;
}

IOReturn RootDomain::takeDeregistrationFault(io_object_t notifier)
{
    std::lock_guard lock(fLock);
    const IOReturn fault = std::exchange(fDeregistrationFault, kIOReturnSuccess);
    if (fault != kIOReturnSuccess) {
        fKeptNotifier = notifier;
    }
    return fault;
}

io_object_t RootDomain::endDeregistrationFault()
{
    std::lock_guard lock(fLock);
    fDeregistrationFault = kIOReturnSuccess;
    return std::exchange(fKeptNotifier, 0);
}

IOReturn RootDomain::allowPowerChange(io_connect_t connection, intptr_t notificationID)
{
    if (!findHandle<RootDomainConnection>(connection)) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(fLock);
    fAcknowledgements.push_back({connection, notificationID});
    for (const auto& registration : fRegistrations) {
        if (registration->fConnection == connection) {
            registration->fAcknowledged = notificationID;
        }
    }
    fChanged.notify_all();
    return kIOReturnSuccess;
}

intptr_t RootDomain::deliver(uint32_t message)
{
    std::lock_guard lock(fLock);
    return deliverLocked(message);
}

intptr_t RootDomain::deliverLocked(uint32_t message)
{
    intptr_t notificationID = ++fLastNotificationID;
    for (const auto& registration : fRegistrations) {
        registration->fPort->post(registration, message, notificationID);
    }
    return notificationID;
}

bool RootDomain::sleep()
{
    std::unique_lock lock(fLock);
    const Registrations asked = fRegistrations;
    intptr_t notificationID = deliverLocked(kIOMessageSystemWillSleep);
    uint64_t deadline = DarwinClock::addSaturating(DarwinClock::hostNow(), kAcknowledgementTimeout);
    while (!answeredLocked(asked, notificationID)) {
        if (DarwinClock::waitUntil(lock, fChanged, deadline, "IOPMrootDomain sleep")) {
            return answeredLocked(asked, notificationID);
        }
    }
    return true;
}

// A registration that went away meanwhile counts as answered.
bool RootDomain::answeredLocked(const Registrations& asked, intptr_t notificationID)
{
    return std::all_of(asked.begin(), asked.end(), [&](const auto& registration) {
        return !registration->fRegistered || registration->fAcknowledged == notificationID;
    });
}

std::vector<RootDomain::Acknowledgement> RootDomain::acknowledgements()
{
    std::lock_guard lock(fLock);
    return fAcknowledgements;
}

} // namespace IOKit
