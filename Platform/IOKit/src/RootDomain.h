#pragma once

#include "Handles.h"
#include "NotificationPort.h"

#include <IOKit/IOKitLib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

// One IORegisterForSystemPower.
class PowerRegistration final : public PortClient
{
public:
    PowerRegistration(void* refCon, IOServiceInterestCallback callback,
                      std::shared_ptr<NotificationPort> port)
        : fPort(std::move(port)), fRefCon(refCon), fCallback(callback)
    {}

    void deliver(uint32_t message, intptr_t argument) override;

    const std::shared_ptr<NotificationPort> fPort;
    // Set before the registration is listed.
    io_connect_t fConnection = 0;
    // Guarded by the root domain's lock.
    bool fRegistered = true;
    intptr_t fAcknowledged = 0;

private:
    void* const fRefCon;
    const IOServiceInterestCallback fCallback;
};

// The notifier handle of a registration; its last release deregisters it.
class PowerNotifier final : public HandleObject
{
public:
    explicit PowerNotifier(std::shared_ptr<PowerRegistration> registration)
        : fRegistration(std::move(registration))
    {}

    void lastReferenceReleased() override;

    const std::shared_ptr<PowerRegistration> fRegistration;
};

// The connection IORegisterForSystemPower answers: only IOAllowPowerChange and IOServiceClose use it.
class RootDomainConnection final : public HandleObject
{};

// The simulated root domain: the registrations, the acknowledgements, and the sleep that waits for
// them.
class RootDomain
{
public:
    struct Acknowledgement
    {
        io_connect_t fConnection;
        intptr_t fNotificationID;
    };

    static RootDomain& shared();

    // The root domain's registry entry, the service argument of the callbacks.
    io_service_t service() const { return fService; }

    io_connect_t registerForSystemPower(void* refCon, IOServiceInterestCallback callback,
                                        IONotificationPortRef* port, io_object_t* notifier);
    void deregister(PowerRegistration& registration);
    // A failure a test injects into the next IODeregisterForSystemPower. The call that takes it
    // fails with it (kIOReturnSuccess: none pending), and its notifier is kept until the test ends
    // the failure and is handed that notifier to deregister.
    void failNextDeregistration(IOReturn result);
    IOReturn takeDeregistrationFault(io_object_t notifier);
    io_object_t endDeregistrationFault();
    IOReturn allowPowerChange(io_connect_t connection, intptr_t notificationID);

    intptr_t deliver(uint32_t message);
    bool sleep();
    std::vector<Acknowledgement> acknowledgements();

private:
    RootDomain();
    // Posts `message` to every registration and answers its notification id.
    intptr_t deliverLocked(uint32_t message);
    using Registrations = std::vector<std::shared_ptr<PowerRegistration>>;
    static bool answeredLocked(const Registrations& asked, intptr_t notificationID);

    io_service_t fService = 0;
    std::mutex fLock;
    std::condition_variable fChanged;
    Registrations fRegistrations;
    std::vector<Acknowledgement> fAcknowledgements;
    intptr_t fLastNotificationID = 0;
    IOReturn fDeregistrationFault = kIOReturnSuccess;
    io_object_t fKeptNotifier = 0;
};

} // namespace IOKit
