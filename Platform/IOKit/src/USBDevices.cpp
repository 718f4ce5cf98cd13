#include "USBDevices.h"

#include <SimUSB/Bus.h>

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>

namespace IOKit {

namespace {

// The USB host writes 0x01000000 | port << 20 into "locationID".
uint8_t portOfLocation(uint32_t location)
{
    return uint8_t(location >> 20 & 0x0F);
}

uint16_t descriptorWord(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes.size() < at + 2 ? 0 : uint16_t(bytes[at] | bytes[at + 1] << 8);
}

} // namespace

USBDevices& USBDevices::shared()
{
    static USBDevices* devices = new USBDevices;
    return *devices;
}

std::shared_ptr<SimUSB::HostDevice> USBDevices::deviceBehind(const IOKitPlatform::RegistryEntry& entry)
{
    const std::vector<std::string>& chain = entry.classChain();
    if (std::find(chain.begin(), chain.end(), "IOUSBHostDevice") == chain.end() &&
        std::find(chain.begin(), chain.end(), "IOUSBHostInterface") == chain.end()) {
        return nullptr;
    }
    CFTypeRef value = entry.copyProperty(CFSTR("locationID"));
    if (value == nullptr) {
        return nullptr;
    }
    uint32_t location = 0;
    const bool isNumber = CFGetTypeID(value) == CFNumberGetTypeID() &&
                          CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &location);
    CFRelease(value);
    if (!isNumber) {
        return nullptr;
    }
    std::shared_ptr<SimUSB::HostDevice> device = SimUSB::Bus::shared().device(portOfLocation(location));
    return device && device->connected() ? device : nullptr;
}

kern_return_t USBDevices::plugInCreationResult(uint8_t port)
{
    std::lock_guard lock(fLock);
    auto found = fPlugInFailures.find(port);
    return found == fPlugInFailures.end() ? KERN_SUCCESS : found->second;
}

IOReturn USBDevices::open(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder)
{
    if (!device->connected()) {
        return kIOReturnNoDevice;
    }
    std::lock_guard lock(fLock);
    if (auto failure = fOpenFailures.find(device->port()); failure != fOpenFailures.end()) {
        return failure->second;
    }
    return fHolders.try_emplace(device.get(), holder).second ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

bool USBDevices::holds(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder) const
{
    std::lock_guard lock(fLock);
    auto held = fHolders.find(device.get());
    return held != fHolders.end() && held->second == holder;
}

IOReturn USBDevices::close(const std::shared_ptr<SimUSB::HostDevice>& device, const void* holder)
{
    std::lock_guard lock(fLock);
    auto held = fHolders.find(device.get());
    const bool holds = held != fHolders.end() && held->second == holder;
    if (holds) {
        fHolders.erase(held);
    }
    if (!device->connected()) {
        return kIOReturnNoDevice;
    }
    return holds ? kIOReturnSuccess : kIOReturnNotOpen;
}

void USBDevices::forget(const void* holder)
{
    std::lock_guard lock(fLock);
    std::erase_if(fHolders, [holder](const auto& session) { return session.second == holder; });
}

IOReturn USBDevices::reEnumerate(const std::shared_ptr<SimUSB::HostDevice>& device, uint32_t options)
{
    if (!device->connected()) {
        return kIOReturnNoDevice;
    }
    const std::vector<uint8_t>& descriptor = device->deviceDescriptor();
    uint64_t delay = 0;
    {
        std::lock_guard lock(fLock);
        fReEnumerations.push_back(
            {device->port(), descriptorWord(descriptor, 8), descriptorWord(descriptor, 10), options});
        delay = fReEnumerationDelay;
    }
    SimUSB::Bus::shared().reEnumerate(device->port(), delay);
    if (delay == 0) {
        // Without a delay the device is back, with its nubs, once the call returns.
        SimUSB::Bus::shared().settle();
    }
    return kIOReturnSuccess;
}

IOKitPlatform::USBConfigurationSetter USBDevices::configurationSetter() const
{
    std::lock_guard lock(fLock);
    return fConfigurationSetter;
}

void USBDevices::setConfigurationSetter(IOKitPlatform::USBConfigurationSetter setter)
{
    std::lock_guard lock(fLock);
    fConfigurationSetter = std::move(setter);
}

CFIndex USBDevices::completionSourceOrder() const
{
    std::lock_guard lock(fLock);
    return fCompletionSourceOrder;
}

std::shared_ptr<USBDevices::DefaultPipe>
USBDevices::defaultPipe(const std::shared_ptr<SimUSB::HostDevice>& device)
{
    std::lock_guard lock(fLock);
    // A device that has gone may leave its address to a new one.
    std::erase_if(fDefaultPipes, [](const auto& entry) { return entry.second->device.expired(); });
    std::shared_ptr<DefaultPipe>& pipe = fDefaultPipes[device.get()];
    if (!pipe) {
        pipe = std::make_shared<DefaultPipe>();
        pipe->device = device;
    }
    return pipe;
}

IOReturn USBDevices::onDefaultPipe(const std::shared_ptr<SimUSB::HostDevice>& device,
                                   const std::function<IOReturn()>& request)
{
    const std::shared_ptr<DefaultPipe> pipe = defaultPipe(device);
    std::lock_guard busy(pipe->busy);
    {
        std::lock_guard lock(fLock);
        RequestRecord& record = fRequestRecords[device->port()];
        record.threads.push_back(std::this_thread::get_id());
        record.mostAtOnce = std::max(record.mostAtOnce, ++pipe->inProgress);
    }
    const IOReturn result = request();
    std::lock_guard lock(fLock);
    --pipe->inProgress;
    return result;
}

bool USBDevices::mayReadConfigurationDescriptor(const std::shared_ptr<SimUSB::HostDevice>& device)
{
    std::lock_guard lock(fLock);
    auto failures = fConfigurationDescriptorFailures.find(device->port());
    if (failures == fConfigurationDescriptorFailures.end() || failures->second == 0) {
        return true;
    }
    --failures->second;
    return false;
}

void USBDevices::refusePlugInCreation(uint8_t port, kern_return_t result)
{
    std::lock_guard lock(fLock);
    fPlugInFailures[port] = result;
}

void USBDevices::failOpen(uint8_t port, IOReturn result)
{
    std::lock_guard lock(fLock);
    fOpenFailures[port] = result;
}

void USBDevices::setReEnumerationDelay(uint64_t ns)
{
    std::lock_guard lock(fLock);
    fReEnumerationDelay = ns;
}

void USBDevices::setCompletionSourceOrder(CFIndex order)
{
    std::lock_guard lock(fLock);
    fCompletionSourceOrder = order;
}

void USBDevices::failConfigurationDescriptorReads(uint8_t port, int count)
{
    std::lock_guard lock(fLock);
    fConfigurationDescriptorFailures[port] = count;
}

std::vector<USBReEnumeration> USBDevices::reEnumerations() const
{
    std::lock_guard lock(fLock);
    return fReEnumerations;
}

std::vector<std::thread::id> USBDevices::deviceRequestThreads(uint8_t port) const
{
    std::lock_guard lock(fLock);
    auto record = fRequestRecords.find(port);
    return record == fRequestRecords.end() ? std::vector<std::thread::id>{} : record->second.threads;
}

int USBDevices::mostDeviceRequestsAtOnce(uint8_t port) const
{
    std::lock_guard lock(fLock);
    auto record = fRequestRecords.find(port);
    return record == fRequestRecords.end() ? 0 : record->second.mostAtOnce;
}

void USBDevices::resetHooks()
{
    std::lock_guard lock(fLock);
    fPlugInFailures.clear();
    fOpenFailures.clear();
    fConfigurationDescriptorFailures.clear();
    fReEnumerations.clear();
    fRequestRecords.clear();
    fReEnumerationDelay = kDefaultReEnumerationDelay;
    fCompletionSourceOrder = 0;
}

} // namespace IOKit

namespace IOKitPlatform {

void setUSBConfigurationSetter(USBConfigurationSetter setter)
{
    IOKit::USBDevices::shared().setConfigurationSetter(std::move(setter));
}

} // namespace IOKitPlatform
