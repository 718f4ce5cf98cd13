#pragma once

// Another layer's drivers (the kernel's) compete for the USB nubs this layer publishes: the layer
// offers probed candidates for each nub, and they are tried with this layer's personalities, best
// probe score first. The layer also hears when a device goes and when the system changes power.

#include <IOKit/platform/Registry.h>
#include <SimUSB/HostDevice.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace DriverKitPlatform {

using RegistryEntryRef = std::shared_ptr<IOKitPlatform::RegistryEntry>;

struct USBNub
{
    RegistryEntryRef fEntry;
    std::shared_ptr<SimUSB::HostDevice> fDevice;
    // The device nub's entry; fEntry itself when the nub is the device.
    RegistryEntryRef fDeviceEntry;
    // The interface's number; -1 for the device.
    int fInterfaceNumber = -1;
    // Every interface nub of the device (number, entry), all published before any is matched.
    std::vector<std::pair<uint8_t, RegistryEntryRef>> fInterfaces;
};

struct MatchingCandidate
{
    int64_t fScore = 0;
    // Starts the driver; true when it runs.
    std::function<bool()> fStart;
    // Frees a candidate that is not tried.
    std::function<void()> fDiscard;
};

class MatchingLayer
{
public:
    virtual ~MatchingLayer() = default;
    // Runs on the matching queue.
    virtual std::vector<MatchingCandidate> candidates(const USBNub& nub) = 0;
    // Before this layer stops anything on the device that left.
    virtual void deviceTerminating(const RegistryEntryRef& deviceEntry) = 0;
    // Sleep (0) reaches the layer before this layer's services, wake (2) after them.
    virtual void setSystemPowerState(uint32_t state) = 0;
};

// The layer stays registered for the life of the process.
void addMatchingLayer(MatchingLayer* layer);

// Starts the USB nubs if they are not yet there and matches every nub without a driver again, as
// after a layer gained personalities.
void matchAgain();

} // namespace DriverKitPlatform
