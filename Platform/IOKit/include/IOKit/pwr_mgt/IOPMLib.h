#pragma once

// System power notifications from the root domain.

#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>

__BEGIN_DECLS

// Registers `callback` for the system's power messages (IOMessage.h) and answers the root-domain
// connection, or 0 on failure. `*thePortRef` receives a new notification port that delivers the
// callbacks once its run-loop source is added to a loop or it is given a dispatch queue; the
// message argument is the notification id that IOAllowPowerChange acknowledges.
io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier);

// Ends the registration and releases the notifier: no callback of it starts once this has returned
// (one in progress may finish; IONotificationPortDestroy waits for it). The caller then destroys
// the port and closes the connection.
IOReturn IODeregisterForSystemPower(io_object_t* notifier);

// Acknowledges kIOMessageCanSystemSleep or kIOMessageSystemWillSleep.
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);

__END_DECLS
