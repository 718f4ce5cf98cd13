#pragma once

// Hooks into the USB device library (IOKit/usb/IOUSBLib.h): scripted failures, the re-enumeration
// delay, and the re-enumerations asked for. A USBDeviceScript puts everything back to the defaults
// when it goes, so each test starts from them.

#include <IOKit/IOKitLib.h>
#include <IOKit/platform/Registry.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace IOKitTesting {

struct ReEnumeration
{
    uint8_t fPort;
    uint16_t fVendor;
    uint16_t fProduct;
    uint32_t fOptions;

    bool operator==(const ReEnumeration&) const = default;
};

// Where the completions of a detached device's interface run beside the device's terminate
// notification, when one run loop holds both sources: the bus completes what was pending before it
// tells the host of the departure, so both wait on the loop at once.
enum class CompletionOrder
{
    BeforeTerminate,
    AfterTerminate,
};

// "CompletionsFirst" or "TerminateFirst", as test names show it.
const char* nameOf(CompletionOrder order);

class USBDeviceScript
{
public:
    USBDeviceScript();
    ~USBDeviceScript();
    USBDeviceScript(const USBDeviceScript&) = delete;
    USBDeviceScript& operator=(const USBDeviceScript&) = delete;

    // IOCreatePlugInInterfaceForService on the device of `port` answers `result`.
    void refusePlugInCreation(uint8_t port, kern_return_t result);
    // USBDeviceOpen on the device of `port` answers `result`.
    void failOpen(uint8_t port, IOReturn result);
    // How long a re-enumerated device stays away (ns on the Platform clock); with 0 it is back
    // before USBDeviceReEnumerate returns.
    void setReEnumerationDelay(uint64_t ns);
    // For interface event sources created from now on.
    void setCompletionOrder(CompletionOrder order);
    // The next `count` GetConfigurationDescriptorPtr calls for the device of `port` fail.
    void failConfigurationDescriptorReads(uint8_t port, int count);

    // In the order they were asked for.
    std::vector<ReEnumeration> reEnumerations() const;
    // The thread of every device request to the device of `port`, in order, and the greatest
    // number of them in progress at once.
    std::vector<std::thread::id> deviceRequestThreads(uint8_t port) const;
    int mostDeviceRequestsAtOnce(uint8_t port) const;
};

// The registry entry a handle names, or null.
std::shared_ptr<IOKitPlatform::RegistryEntry> registryEntry(io_object_t handle);

} // namespace IOKitTesting
