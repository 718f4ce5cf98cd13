#pragma once

// For run loops that serve Mach ports (CFMachPort): a callback when a message arrives on a port.

#include <mach/port.h>

#include <functional>

namespace DarwinPorts {

// Calls `observer` after each message is queued on the port, on the sending thread with no lock
// held. Replaces the port's observer (an empty one removes it); once this returns, the previous
// observer has returned from every call, unless it is the caller itself. KERN_INVALID_NAME for a
// name without a live port.
kern_return_t setArrivalObserver(mach_port_t port, std::function<void()> observer);

} // namespace DarwinPorts
