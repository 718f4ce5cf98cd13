#pragma once

// The simulated root domain: tests send system-power messages to every IORegisterForSystemPower
// registration and read back the acknowledgements.

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <vector>

namespace IOKitTesting {

struct PowerAcknowledgement
{
    io_connect_t fConnection;
    intptr_t fNotificationID;

    bool operator==(const PowerAcknowledgement&) const = default;
};

// Queues `messageType` for every registration, with a new notification id as the message argument,
// and answers that id. Does not wait for the callbacks.
intptr_t deliverPowerMessage(uint32_t messageType);

// A system sleep: kIOMessageSystemWillSleep to every registration, then a wait until each has
// acknowledged it (IOAllowPowerChange) or deregistered, or until 30 s have passed on the platform
// clock. True when every registration answered in time. Call it from a thread other than the one
// that serves the callbacks.
bool systemWillSleep();

// While it exists, the next IODeregisterForSystemPower of a registration fails with `result` and
// leaves the registration and its notifier in place. Its destruction deregisters what it kept, so
// the root domain is left as the test found it.
class FailedPowerDeregistration
{
public:
    explicit FailedPowerDeregistration(IOReturn result);
    ~FailedPowerDeregistration();
    FailedPowerDeregistration(const FailedPowerDeregistration&) = delete;
    FailedPowerDeregistration& operator=(const FailedPowerDeregistration&) = delete;
};

// Every IOAllowPowerChange made on a root-domain connection, in order.
std::vector<PowerAcknowledgement> powerAcknowledgements();

} // namespace IOKitTesting
