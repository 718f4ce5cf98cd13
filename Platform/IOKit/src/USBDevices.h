#pragma once

// What the USB device library keeps per process: which interface holds each bus device open, the
// re-enumerations asked for, and the answers tests have scripted.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/platform/Registry.h>
#include <IOKit/platform/USBConfiguration.h>
#include <SimUSB/HostDevice.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

struct USBReEnumeration
{
    uint8_t fPort;
    uint16_t fVendor;
    uint16_t fProduct;
    uint32_t fOptions;
};

class USBDevices
{
public:
    static constexpr uint64_t kDefaultReEnumerationDelay = 1'000'000'000; // 1 s

    static USBDevices& shared();

    // The bus device behind a device or interface nub, found through the port its "locationID"
    // encodes; null for any other entry and for a device that has left.
    static std::shared_ptr<SimUSB::HostDevice> deviceBehind(const IOKitPlatform::RegistryEntry& entry);

    // What creating the plug-in for the device on `port` answers: 0, or the scripted failure.
    kern_return_t plugInCreationResult(uint8_t port);

    IOReturn open(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder);
    IOReturn close(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder);
    // Lets go of whatever `holder` holds open (its interface is gone).
    void forget(const void* holder);
    IOReturn reEnumerate(const std::shared_ptr<SimUSB::HostDevice>& device, uint32_t options);
    // What the USB host registered for setting a configuration; empty before.
    IOKitPlatform::USBConfigurationSetter configurationSetter() const;
    void setConfigurationSetter(IOKitPlatform::USBConfigurationSetter setter);
    // The order of an interface's event source among a run loop's sources: 0, or what a test set.
    CFIndex completionSourceOrder() const;

    // Test hooks.
    void refusePlugInCreation(uint8_t port, kern_return_t result);
    void failOpen(uint8_t port, IOReturn result);
    void setReEnumerationDelay(uint64_t ns);
    void setCompletionSourceOrder(CFIndex order);
    std::vector<USBReEnumeration> reEnumerations() const;
    // Scripted answers, records and delay back to their defaults; open sessions stay.
    void resetHooks();

private:
    USBDevices() = default;

    mutable std::mutex fLock;
    std::map<const SimUSB::HostDevice*, const void*> fHolders;
    std::map<uint8_t, kern_return_t> fPlugInFailures;
    std::map<uint8_t, IOReturn> fOpenFailures;
    std::vector<USBReEnumeration> fReEnumerations;
    uint64_t fReEnumerationDelay = kDefaultReEnumerationDelay;
    CFIndex fCompletionSourceOrder = 0;
    IOKitPlatform::USBConfigurationSetter fConfigurationSetter;
};

} // namespace IOKit
