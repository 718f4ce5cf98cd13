#pragma once

// The kernel USB objects' shared state: the bus device behind them, the work loop their
// completions run on, and the descriptors they hand out.

#include <IOKit/usb/IOUSBHostInterface.h>

#include <IOKit/platform/Registry.h>
#include <SimUSB/HostDevice.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

inline namespace kernel {

class IOUSBCompletionSource;

struct IOUSBHostDeviceCore
{
    std::shared_ptr<SimUSB::HostDevice> fBus;
    IOWorkLoop* fWorkLoop = nullptr;
    IOUSBCompletionSource* fCompletions = nullptr;
    // Copies made as the DriverKit layer makes them, so the shared walks know where they end.
    const StandardUSB::ConfigurationDescriptor* fConfiguration = nullptr;
    std::vector<uint8_t> fDeviceDescriptor;
    std::atomic<int> fResets{0};
    std::mutex fStringsMutex;
    std::map<uint32_t, std::pair<const StandardUSB::StringDescriptor*, uint32_t>> fStrings;
};

// While one exists on a thread, the resets asked for there wait until it ends: a driver's start asks
// for the re-enumeration, which must not begin before that start has returned.
class IOUSBHostDeferredResets
{
public:
    IOUSBHostDeferredResets();
    ~IOUSBHostDeferredResets();
    IOUSBHostDeferredResets(const IOUSBHostDeferredResets&) = delete;
    IOUSBHostDeferredResets& operator=(const IOUSBHostDeferredResets&) = delete;

    // False when no scope is open on this thread.
    static bool defer(uint8_t port);

private:
    std::vector<uint8_t> fPorts;
    IOUSBHostDeferredResets* fOuter;
};

struct IOUSBHostAccess
{
    // The device nub of a bus device with one interface nub per interface of its current
    // configuration below it, none of them published; null when the device has gone.
    static IOUSBHostDevice* createDeviceNub(const std::shared_ptr<SimUSB::HostDevice>& bus,
                                            uint32_t locationID);
    // The kernel face of another layer's device nub and of its interface nubs (number, entry):
    // same entries, properties and children; null when the device has gone.
    using PlatformEntry = std::shared_ptr<IOKitPlatform::RegistryEntry>;
    static IOUSBHostDevice*
    createBoundDeviceNub(const std::shared_ptr<SimUSB::HostDevice>& bus, const PlatformEntry& deviceEntry,
                         const std::vector<std::pair<uint8_t, PlatformEntry>>& interfaces);
    // Gives an initialised device its bus device, work loop and descriptor copies.
    static bool bindBusDevice(IOUSBHostDevice* device, const std::shared_ptr<SimUSB::HostDevice>& bus);
    static IOUSBHostDeviceCore* core(const IOUSBHostDevice* device) { return device->fCore; }
    static IOUSBHostPipeState* pipeState(const IOUSBHostPipe* pipe) { return pipe->fPipeState; }
    static void setPipeState(IOUSBHostPipe* pipe, IOUSBHostPipeState* state) { pipe->fPipeState = state; }
};

} // namespace kernel
