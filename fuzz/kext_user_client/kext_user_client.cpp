// The kernel user client's legacy dispatch with random selectors, client types, sizes and bytes,
// against a control service on a simulated Wrenlet whose provider records what reaches it. Only the
// documented codes come back and nothing is written outside the given buffers (guard bytes and
// AddressSanitizer).
//
// Input: client type (even: 'IOIO', odd: 'TEST'), selector (0-15), input size and output size as
// little-endian u16, then the input bytes.

#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_userClient.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <DarwinTesting/Eventually.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class FuzzProvider : public com_vork_driver_tide_provider
{
    OSDeclareDefaultStructors(FuzzProvider)
};

OSDefineMetaClassAndStructors(FuzzProvider, com_vork_driver_tide_provider)

    class FuzzControl : public com_vork_driver_tide_control_interface
{
    OSDeclareDefaultStructors(FuzzControl)

        protected : com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface*) override
    {
        auto* provider = new FuzzProvider;
        provider->init();
        return provider;
    }
};

OSDefineMetaClassAndStructors(FuzzControl, com_vork_driver_tide_control_interface)

    FuzzControl* control()
{
    static FuzzControl* started = [] {
        auto model = std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::DescriptorOptions(
            KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID));
        SimUSB::Bus::shared().attach(7, model);
        require(DarwinTesting::eventually([] {
            auto device = SimUSB::Bus::shared().device(7);
            return device && device->connected();
        }));
        IOUSBHostDevice* device = KernelIOKitTesting::publishUSBDevice(7);
        IOUSBHostInterface* nub = KernelIOKitTesting::interfaceNub(device, 0);
        auto* service = new FuzzControl;
        require(service->init() && service->attach(nub) && service->start(nub));
        return service;
    }();
    return started;
}

bool documented(IOReturn result)
{
    return result == kIOReturnSuccess || result == kIOReturnError || result == kIOReturnBadArgument ||
           result == kIOReturnUnsupported;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6) {
        return 0;
    }
    const UInt32 type = data[0] % 2 == 0 ? com_vork_driver_tide_userClient::kAudioClientType
                                         : com_vork_driver_tide_userClient::kTestClientType;
    const UInt32 selector = data[1] % 16;
    const size_t inputSize = std::min<size_t>(data[2] | data[3] << 8, size - 6);
    const size_t outputSize = data[4] | data[5] << 8;
    std::vector<uint8_t> input(data + 6, data + 6 + inputSize);
    // Guard bytes on both sides of the output.
    std::vector<uint8_t> output(outputSize + 64, 0xA5);

    IOUserClient* client = nullptr;
    require(control()->newUserClient(current_task(), nullptr, type, nullptr, &client) == kIOReturnSuccess);
    IOByteCount written = outputSize;
    const IOReturn result =
        client->callStructMethod(selector, input.empty() ? nullptr : input.data(), inputSize,
                                 outputSize ? output.data() + 32 : nullptr, &written);
    require(documented(result));
    require(written <= outputSize);
    for (size_t guard = 0; guard < 32; ++guard) {
        require(output[guard] == 0xA5 && output[32 + outputSize + guard] == 0xA5);
    }
    client->clientClose();
    client->release();
    return 0;
}
