// Random configuration descriptors through the descriptor walks and through the bus and the
// DriverKit nubs: no read outside the bytes, no walk that does not end.

#include <DriverKit/platform/Drivers.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <SimUSB/Bus.h>
#include <USBDriverKit/USBTypes.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// A device that serves the fuzzer's configuration bytes as they are.
class BlobDevice : public SimUSB::Device
{
public:
    explicit BlobDevice(std::vector<uint8_t> configuration) : fConfiguration(std::move(configuration)) {}

    std::vector<uint8_t> deviceDescriptor() override
    {
        return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
    }
    std::vector<uint8_t> configurationDescriptor(uint8_t index) override
    {
        return index == 0 ? fConfiguration : std::vector<uint8_t>{};
    }
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t, uint16_t) override { return std::nullopt; }
    SimUSB::ControlAnswer control(const SimUSB::SetupPacket& setup, std::span<const uint8_t>) override
    {
        if (setup.type() == 0 && setup.bRequest == SimUSB::Request::kGetDescriptor) {
            return answerGetDescriptor(setup);
        }
        return SimUSB::ControlAnswer::ack();
    }

private:
    std::vector<uint8_t> fConfiguration;
};

// Each step moves at least two bytes on, so a walk longer than the bytes would be a loop.
void walk(const IOUSBConfigurationDescriptor* configuration, size_t size)
{
    size_t steps = 0;
    for (const IOUSBDescriptorHeader* d = IOUSBGetNextDescriptor(configuration, nullptr); d != nullptr;
         d = IOUSBGetNextDescriptor(configuration, d)) {
        if (++steps > size) {
            __builtin_trap();
        }
    }
    steps = 0;
    for (const IOUSBInterfaceDescriptor* interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
         interface != nullptr;
         interface = IOUSBGetNextInterfaceDescriptor(
             configuration, reinterpret_cast<const IOUSBDescriptorHeader*>(interface))) {
        const auto* parent = reinterpret_cast<const IOUSBDescriptorHeader*>(interface);
        for (const IOUSBDescriptorHeader* d =
                 IOUSBGetNextAssociatedDescriptorWithType(configuration, parent, nullptr, 0x24);
             d != nullptr; d = IOUSBGetNextAssociatedDescriptorWithType(configuration, parent, d, 0x24)) {
            if (++steps > size) {
                __builtin_trap();
            }
        }
        for (const IOUSBEndpointDescriptor* endpoint =
                 IOUSBGetNextEndpointDescriptor(configuration, interface, nullptr);
             endpoint != nullptr;
             endpoint = IOUSBGetNextEndpointDescriptor(
                 configuration, interface, reinterpret_cast<const IOUSBDescriptorHeader*>(endpoint))) {
            if (++steps > size || IOUSBGetEndpointMaxPacketSize(endpoint) > 3072) {
                __builtin_trap();
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < sizeof(IOUSBConfigurationDescriptor) || size > 4096) {
        return 0;
    }
    const IOUSBConfigurationDescriptor* configuration = DriverKitTesting::copyConfiguration(data, size);
    walk(configuration, size);
    IOUSBHostFreeDescriptor(configuration);

    static const bool started = [] {
        DriverKitPlatform::startUSB();
        return true;
    }();
    (void)started;
    SimUSB::Bus& bus = SimUSB::Bus::shared();
    bus.attach(1, std::make_shared<BlobDevice>(std::vector<uint8_t>(data, data + size)));
    bus.settle();
    bus.detach(1);
    return 0;
}
