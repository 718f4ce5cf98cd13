#pragma once

// The driver classes and personalities of the process, and the tree of services built from them:
// instantiation, matching against nubs, start, and termination leaf first.

#include <DriverKit/IOService.h>
#include <DriverKit/platform/Drivers.h>

#include <string>
#include <vector>

namespace DriverKitPlatform {

// The class and its superclasses up to IOService, or empty for a class nobody registered.
std::vector<std::string> classChain(const std::string& name);

// A new instance of `className` with its Default queue and registry entry, attached under
// `provider` (which keeps a reference); `properties` are copied into its own. The caller owns the
// returned reference. Null when the class is unknown, is no IOService, or a creation fails.
IOService* instantiate(const std::string& className, IOService* provider, const OSDictionary* properties);

// Runs init and Start on the service's Default queue. On failure the service is taken out of the
// tree again.
bool start(IOService* service, IOService* provider);

// Matches the registered personalities against a nub that has been published, best probe score
// first; the first class that starts wins.
void match(IOService* nub);
// The same, later; for nubs published from a driver's own queue.
void matchLater(IOService* nub);

// Stops the clients and services below `service`, leaf first, then the service itself when a driver
// started it, and terminates its registry entry.
void terminate(IOService* service);
// Takes a stopped client or service out of its provider's children, dropping that reference.
void detachFromProvider(IOService* service);

// Nubs the USB layer publishes and terminates; their trees are what power changes reach.
void addRoot(IOService* nub);
void removeRoot(IOService* nub);
// SetPowerState on every started service, on its Default queue, and the other layers' changes.
void setPowerStateEverywhere(uint32_t state);
// Tells the other layers that the device nub is about to be terminated.
void deviceTerminating(IOService* device);

// Runs `work` on the service's Default queue and waits (directly when already on it).
void onDefaultQueue(IOService* service, const std::function<void()>& work);

} // namespace DriverKitPlatform
