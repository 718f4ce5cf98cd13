// The plug-in's expectations of the kernel extension's user client, run against the kernel
// extension itself on a simulated Wrenlet, matched from its bundle as the system runs it.

#include "KextContractHooks.h"

#include <KernelIOKitTesting/KernelExtensionLoading.h>

#include <KernelUserClientContract.h>

#include <DarwinTesting/Eventually.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <SimUSB/Bus.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kPort = 9;
constexpr const char* kControlClass = "com_vork_driver_tide_control_interface";

template <typename Request>
std::vector<uint8_t> bytesOf(const Request& request)
{
    std::vector<uint8_t> bytes(sizeof(request));
    std::memcpy(bytes.data(), &request, sizeof(request));
    return bytes;
}

std::string uidOf(io_service_t service)
{
    CFTypeRef value =
        IORegistryEntryCreateCFProperty(service, CFSTR("com_vork_driver_tide_device_UID"), nullptr, 0);
    char text[64] = {};
    if (value && CFGetTypeID(value) == CFStringGetTypeID()) {
        CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof(text), kCFStringEncodingUTF8);
    }
    if (value) {
        CFRelease(value);
    }
    return text;
}

// The control service once its UID is `uid`; 0 when it never is.
io_service_t startedControlService(const std::string& uid)
{
    io_service_t found = 0;
    const bool started = DarwinTesting::eventually([&] {
        io_iterator_t services = 0;
        IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(kControlClass), &services);
        while (io_service_t service = IOIteratorNext(services)) {
            if (found == 0 && uidOf(service) == uid) {
                found = service;
            } else {
                IOObjectRelease(service);
            }
        }
        IOObjectRelease(services);
        return found != 0;
    });
    return started ? found : 0;
}

struct KextFactory
{
    static constexpr const char* kUID = "ab12cd34";
    // The kernel extension answers a missing stream so; the plug-in treats every failure alike.
    static constexpr kern_return_t kMappingWithoutDevice = kIOReturnBadArgument;

    // Requests the Wrenlet answers: GET CUR of the rate on clock 0x10, the streaming-header version
    // query, and the channel names of the interfaces that stream.
    static std::vector<uint8_t> input(uint32_t selector)
    {
        using namespace KorvanDeviceIO;
        switch (selector) {
        case kSendUACControlRequest:
            return bytesOf(USBUACControlRequest{0, 1, 0x10, 4, {}});
        case kSendVendorControlRequest:
            return bytesOf(USBVendorControlRequest{1, 2, 0, 0, 1, {}});
        case kGetChannelNames:
            return bytesOf(ChannelNamesRequest{2, 1, 1, 1});
        default:
            return {};
        }
    }
    // Input on interface 2, output on interface 1, both at alternate 1 at 48 kHz.
    static KorvanDeviceIO::USBAudioRunStateRequest runState(uint32_t state)
    {
        return {state, 2, 1, 80, 1, 1, 88};
    }

    KextFactory()
    {
        EXPECT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
        SimUSB::Bus::shared().attach(
            kPort, std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::variantOptions(
                       KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
                       KorvanInterface::Variant::Standard)));
        fService = startedControlService(kUID);
        EXPECT_NE(fService, 0u) << "the control service never started";
    }
    ~KextFactory()
    {
        IOObjectRelease(fService);
        SimUSB::Bus::shared().detach(kPort);
        EXPECT_TRUE(DarwinTesting::eventually([] {
            return KernelIOKitTesting::liveObjects("com_vork_driver_tide_base_interface") == 0 &&
                   KernelIOKitTesting::liveObjects("com_vork_driver_tide_userClient") == 0 &&
                   KernelIOKitTesting::liveObjects("com_vork_driver_tide_provider") == 0;
        })) << "the driver's objects outlived the device: "
            << KernelIOKitTesting::liveObjects("com_vork_driver_tide_base_interface") << " services, "
            << KernelIOKitTesting::liveObjects("com_vork_driver_tide_userClient") << " clients, "
            << KernelIOKitTesting::liveObjects("com_vork_driver_tide_provider") << " providers";
    }

    io_service_t service() const { return fService; }
    void notify(uint32_t type, const void* bytes, uint32_t length)
    {
        KextContractHooks::notifyAudioClient(type, bytes, length);
    }
    void detachDevice() { KextContractHooks::stopControlService(); }

    io_service_t fService = 0;
};

} // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Kext, KernelUserClientContract, testing::Types<KextFactory>);
