#pragma once

// What the USB device library keeps per process: which interface holds each bus device open, the
// re-enumerations asked for, and the answers tests have scripted.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/platform/Registry.h>
#include <IOKit/platform/USBConfiguration.h>
#include <SimUSB/HostDevice.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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
    bool holds(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder) const;
    IOReturn close(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder);
    // Lets go of whatever `holder` holds open (its interface is gone).
    void forget(const void* holder);
    IOReturn reEnumerate(const std::shared_ptr<SimUSB::HostDevice>& device, uint32_t options);
    // What the USB host registered for setting a configuration; empty before.
    IOKitPlatform::USBConfigurationSetter configurationSetter() const;
    void setConfigurationSetter(IOKitPlatform::USBConfigurationSetter setter);
    // The order of an interface's event source among a run loop's sources: 0, or what a test set.
    CFIndex completionSourceOrder() const;
    // Runs `request` on the device's default pipe, one request at a time per device whatever the
    // thread, and records the thread.
    IOReturn onDefaultPipe(const std::shared_ptr<SimUSB::HostDevice>& device,
                           const std::function<IOReturn()>& request);
    // False when a scripted failure of reading the device's configuration descriptor is due.
    bool mayReadConfigurationDescriptor(const std::shared_ptr<SimUSB::HostDevice>& device);

    // Test hooks.
    void refusePlugInCreation(uint8_t port, kern_return_t result);
    void failOpen(uint8_t port, IOReturn result);
    void setReEnumerationDelay(uint64_t ns);
    void setCompletionSourceOrder(CFIndex order);
    void failConfigurationDescriptorReads(uint8_t port, int count);
    std::vector<USBReEnumeration> reEnumerations() const;
    std::vector<std::thread::id> deviceRequestThreads(uint8_t port) const;
    int mostDeviceRequestsAtOnce(uint8_t port) const;
    // Scripted answers, records and delay back to their defaults; open sessions stay.
    void resetHooks();

private:
    USBDevices() = default;

    struct DefaultPipe
    {
        std::weak_ptr<SimUSB::HostDevice> device;
        std::mutex busy;
        int inProgress = 0;
    };
    struct RequestRecord
    {
        std::vector<std::thread::id> threads;
        int mostAtOnce = 0;
    };
    std::shared_ptr<DefaultPipe> defaultPipe(const std::shared_ptr<SimUSB::HostDevice>& device);

    mutable std::mutex fLock;
    std::map<const SimUSB::HostDevice*, const void*> fHolders;
    std::map<uint8_t, kern_return_t> fPlugInFailures;
    std::map<uint8_t, IOReturn> fOpenFailures;
    std::map<uint8_t, int> fConfigurationDescriptorFailures;
    std::map<const SimUSB::HostDevice*, std::shared_ptr<DefaultPipe>> fDefaultPipes;
    std::map<uint8_t, RequestRecord> fRequestRecords;
    std::vector<USBReEnumeration> fReEnumerations;
    uint64_t fReEnumerationDelay = kDefaultReEnumerationDelay;
    CFIndex fCompletionSourceOrder = 0;
    IOKitPlatform::USBConfigurationSetter fConfigurationSetter;
};

} // namespace IOKit
