// The streaming-interface walk, the pipe search and the configuration copy over random
// configurations: an endpoint found lies inside the bytes and can carry a packet, and the copy
// never exceeds its 2047 bytes.

#include <UACDescriptors.h>

#include <DriverKitTesting/DriverKitTesting.h>

#include <cstdlib>
#include <memory>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void checkEndpoint(const IOUSBEndpointDescriptor* endpoint, const uint8_t* begin, const uint8_t* end)
{
    if (endpoint == nullptr) {
        return;
    }
    const auto* at = reinterpret_cast<const uint8_t*>(endpoint);
    require(at >= begin && at + endpoint->bLength <= end && endpoint->bLength >= 7);
    require(IOUSBGetEndpointMaxPacketSize(endpoint) >= 5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The platform hands out no configuration shorter than its fixed fields.
    if (size < sizeof(IOUSBConfigurationDescriptor)) {
        return 0;
    }
    const IOUSBConfigurationDescriptor* configuration = DriverKitTesting::copyConfiguration(data, size);
    if (configuration == nullptr) {
        return 0;
    }
    const auto* begin = reinterpret_cast<const uint8_t*>(configuration);
    const uint8_t* end = begin + size;
    for (const IOUSBInterfaceDescriptor* interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
         interface != nullptr;
         interface = IOUSBGetNextInterfaceDescriptor(
             configuration, reinterpret_cast<const IOUSBDescriptorHeader*>(interface))) {
        if (IsAudioStreamingInterface(interface)) {
            require(interface->bLength >= sizeof(IOUSBInterfaceDescriptor));
        }
        checkEndpoint(
            FindEndpoint(configuration, interface, kIOUSBEndpointTypeIsochronous, kIOUSBEndpointDirectionIn),
            begin, end);
        checkEndpoint(
            FindEndpoint(configuration, interface, kIOUSBEndpointTypeIsochronous, kIOUSBEndpointDirectionOut),
            begin, end);
        checkEndpoint(
            FindEndpoint(configuration, interface, kIOUSBEndpointTypeInterrupt, kIOUSBEndpointDirectionIn),
            begin, end);
    }
    auto descriptors = std::make_unique<KorvanDeviceIO::USBDescriptors>();
    if (CopyConfigurationDescriptors(configuration, descriptors.get()) == kIOReturnSuccess) {
        require(descriptors->fLength <= 2047 && descriptors->fLength <= size);
    }
    IOUSBHostFreeDescriptor(configuration);
    return 0;
}
