#pragma once

// Kernel services and ports as the user-client seam sees them.

#include <IOKit/IOUserClient.h>

namespace KernelIOKitPlatform {

// The kernel handle of a user-space port name (null for 0); the same name gives the same handle.
mach_port_t kernelPort(mach_port_name_t name);
mach_port_name_t userPortName(mach_port_t port);

// The end of a connection: clientClose, then a client its provider's termination left attached
// lets go of it.
void closeConnection(IOUserClient* client);

// IOServiceOpen on the service's entry now asks its newUserClient; withdrawn when it terminates.
void publishUserClients(IOService* service);
void withdrawUserClients(IOService* service);

} // namespace KernelIOKitPlatform
