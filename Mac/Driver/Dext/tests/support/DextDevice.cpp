#include "DextDevice.h"

#include <KorvanRequestRing.h>

#include <DarwinTesting/Eventually.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <SimUSB/Bus.h>

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <thread>
#include <vector>

namespace DextTesting {

namespace {

io_service_t firstService(const char* className)
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(className), &iterator) !=
        kIOReturnSuccess) {
        return 0;
    }
    const io_service_t found = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return found;
}

} // namespace

void registerDextDrivers()
{
    ASSERT_TRUE(DriverKitTesting::loadDriverBundle(DEXT_BUNDLE));
}

io_service_t waitForService(const char* className, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (io_service_t found = firstService(className)) {
            return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

bool waitForNoService(const char* className, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        io_service_t found = firstService(className);
        if (found == 0) {
            return true;
        }
        IOObjectRelease(found);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::string stringProperty(io_registry_entry_t entry, const char* key)
{
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = IORegistryEntryCreateCFProperty(entry, name, nullptr, 0);
    CFRelease(name);
    std::string text;
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
        char buffer[256] = {};
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof(buffer), kCFStringEncodingUTF8);
        text = buffer;
    }
    if (value != nullptr) {
        CFRelease(value);
    }
    return text;
}

void DextDeviceTest::attach(const KorvanInterface::DescriptorOptions& options, uint8_t headerVersion)
{
    registerDextDrivers();
    model = std::make_shared<KorvanInterface::KorvanDevice>(options);
    model->setHeaderVersion(headerVersion);
    SimUSB::Bus::shared().attach(kPort, model);
    service = waitForService("com_vork_driver_tide_control_interface");
    ASSERT_NE(service, 0u) << "the control service did not start";
}

io_connect_t DextDeviceTest::open(uint32_t type)
{
    io_connect_t opened = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), type, &opened), kIOReturnSuccess);
    return opened;
}

IOReturn DextDeviceTest::call(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize)
{
    return IOConnectCallStructMethod(connect, selector, input, inputSize, output, outputSize);
}

IOReturn DextDeviceTest::enableHeaders(uint8_t version, io_connect_t on)
{
    const KorvanDeviceIO::EnableStreamingHeadersRequest request{version, 1};
    size_t outputSize = 0;
    return IOConnectCallStructMethod(on != 0 ? on : connect, 10, &request, sizeof(request), nullptr,
                                     &outputSize);
}

IOReturn DextDeviceTest::runState(const KorvanDeviceIO::USBAudioRunStateRequest& request, io_connect_t on)
{
    std::vector<uint8_t> output(4100, 0);
    size_t outputSize = output.size();
    return IOConnectCallStructMethod(on != 0 ? on : connect, 6, &request, sizeof(request), output.data(),
                                     &outputSize);
}

IOReturn DextDeviceTest::startStreaming(const KorvanDeviceIO::USBAudioRunStateRequest& request,
                                        io_connect_t on, uint8_t headerVersion)
{
    IOReturn result = kIOReturnError;
    (void)DarwinTesting::startedWithin([&] {
        if (headerVersion != 0) {
            result = enableHeaders(headerVersion, on);
            if (result != kIOReturnSuccess) {
                return false;
            }
        }
        result = runState(request, on);
        return result == kIOReturnSuccess;
    });
    return result;
}

void DextDeviceTest::expectInputCountsMatchDevice(const KorvanDeviceIO::USBRequestBlock* ring, size_t first,
                                                  size_t last, uint32_t bytesPerFrame) const
{
    const auto sent = model->recordFrames();
    for (size_t block = first; block <= last; ++block) {
        const KorvanDeviceIO::BlockHeader header = KorvanDeviceIO::ReadBlockHeader(ring[block]);
        uint64_t frames = 0;
        for (const auto& [microframe, count] : sent) {
            if (microframe >= header.fMicroframe &&
                microframe < header.fMicroframe + KorvanDeviceIO::kPacketsPerBlock) {
                frames += count;
            }
        }
        EXPECT_EQ(header.fEndByteCount - header.fStartByteCount, frames * bytesPerFrame) << "block " << block;
    }
}

void DextDeviceTest::TearDown()
{
    if (connect != 0) {
        IOServiceClose(connect);
    }
    if (service != 0) {
        IOObjectRelease(service);
    }
    if (model) {
        SimUSB::Bus::shared().detach(kPort);
        EXPECT_TRUE(waitForNoService("com_vork_driver_tide_control_interface"));
    }
}

} // namespace DextTesting
