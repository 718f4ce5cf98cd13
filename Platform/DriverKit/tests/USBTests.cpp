#include "DriverKitTestSupport.h"

#include <DriverKitTesting/DriverKitTesting.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <cstring>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using DriverKitTests::EchoDeviceTest;
using SimUSBTesting::EchoDevice;

namespace {

OSSharedPtr<IOUSBHostDevice> deviceOf(IOUSBHostInterface* interface)
{
    IOUSBHostDevice* device = nullptr;
    interface->CopyDevice(&device);
    return OSSharedPtr<IOUSBHostDevice>(device, OSNoRetain);
}

OSSharedPtr<IOUSBHostInterface> interfaceNumbered(IOUSBHostDevice* device, uint8_t number)
{
    uintptr_t iterator = 0;
    device->CreateInterfaceIterator(&iterator);
    OSSharedPtr<IOUSBHostInterface> found;
    IOUSBHostInterface* interface = nullptr;
    while (device->CopyInterface(iterator, &interface) == kIOReturnSuccess && interface != nullptr) {
        OSSharedPtr<IOUSBHostInterface> held(interface, OSNoRetain);
        if (interface->platformInterfaceNumber() == number) {
            found = held;
        }
    }
    device->DestroyInterfaceIterator(iterator);
    return found;
}

OSSharedPtr<IOBufferMemoryDescriptor> makeBuffer(uint64_t capacity)
{
    IOBufferMemoryDescriptor* buffer = nullptr;
    IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, capacity, 0, &buffer);
    return OSSharedPtr<IOBufferMemoryDescriptor>(buffer, OSNoRetain);
}

TEST_F(EchoDeviceTest, SetConfigurationWithTheCurrentValueKeepsTheNubs)
{
    auto device = deviceOf(toy->interface());
    EXPECT_EQ(device->SetConfiguration(1, true), kIOReturnSuccess);
    EXPECT_EQ(ToyDrivers::echoToy(), toy);
    auto interface = interfaceNumbered(device.get(), 0);
    EXPECT_EQ(interface.get(), toy->interface());
    const auto entries = ToyDrivers::log().entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "EchoToy stop"), 0);
}

TEST_F(EchoDeviceTest, SetConfigurationZeroTakesTheInterfacesAway)
{
    auto device = deviceOf(toy->interface());
    EXPECT_EQ(device->SetConfiguration(0, true), kIOReturnSuccess);
    ToyDrivers::log().waitFor("EchoToy stop");
    EXPECT_EQ(interfaceNumbered(device.get(), 0).get(), nullptr);
}

TEST_F(EchoDeviceTest, SecondOpenIsRefused)
{
    OSSharedPtr<IOService> other(new IOService, OSNoRetain);
    EXPECT_EQ(toy->interface()->Open(other.get(), 0, 0), kIOReturnExclusiveAccess);
    EXPECT_EQ(toy->interface()->Open(toy, 0, 0), kIOReturnSuccess);
}

TEST_F(EchoDeviceTest, SelectAlternateSettingReachesTheDeviceAndRebuildsThePipes)
{
    auto device = deviceOf(toy->interface());
    auto streaming = interfaceNumbered(device.get(), 1);
    ASSERT_TRUE(streaming);
    OSSharedPtr<IOService> client(new IOService, OSNoRetain);
    IOUSBHostPipe* pipe = nullptr;
    EXPECT_EQ(streaming->SelectAlternateSetting(1), kIOReturnNotOpen);
    ASSERT_EQ(streaming->Open(client.get(), 0, 0), kIOReturnSuccess);
    EXPECT_EQ(streaming->CopyPipe(EchoDevice::kIsochronousIn, &pipe), kIOReturnNotFound);
    ASSERT_EQ(streaming->SelectAlternateSetting(1), kIOReturnSuccess);
    EXPECT_EQ(echo->interfaceSettings().back(), std::make_pair(uint8_t(1), uint8_t(1)));
    ASSERT_EQ(streaming->CopyPipe(EchoDevice::kIsochronousIn, &pipe), kIOReturnSuccess);
    OSSharedPtr<IOUSBHostPipe> held(pipe, OSNoRetain);
    IOUSBStandardEndpointDescriptors descriptors{};
    ASSERT_EQ(pipe->GetDescriptors(&descriptors), kIOReturnSuccess);
    EXPECT_EQ(IOUSBGetEndpointMaxPacketSize(&descriptors.descriptor), 512u);
    EXPECT_EQ(IOUSBGetEndpointType(&descriptors.descriptor), kIOUSBEndpointTypeIsochronous);
    EXPECT_EQ(IOUSBGetEndpointDirection(&descriptors.descriptor), kIOUSBEndpointDirectionIn);

    ASSERT_EQ(streaming->SelectAlternateSetting(0), kIOReturnSuccess);
    auto data = makeBuffer(512);
    auto frames = makeBuffer(24);
    EXPECT_EQ(pipe->IsochIO(data.get(), frames.get(), 1'000'000, nullptr), kIOReturnBadArgument);
    OSAction* action = nullptr;
    OSAction::Create(toy, nullptr, 0, OSAction::AsyncIsochIOHandler([](OSObject*, OSAction*, IOReturn) {}),
                     &action);
    OSSharedPtr<OSAction> heldAction(action, OSNoRetain);
    EXPECT_EQ(pipe->IsochIO(data.get(), frames.get(), 1'000'000, action), kIOReturnNotAttached);
    EXPECT_EQ(streaming->Close(client.get(), 0), kIOReturnSuccess);
}

TEST_F(EchoDeviceTest, StringDescriptorOfLanguageZeroUsesTheFirstLanguage)
{
    auto device = deviceOf(toy->interface());
    const IOUSBStringDescriptor* product = device->CopyStringDescriptor(2, 0);
    ASSERT_NE(product, nullptr);
    EXPECT_EQ(product->bLength, 10);
    EXPECT_EQ(product->bString[0], 'E');
    IOUSBHostFreeDescriptor(product);
    EXPECT_EQ(echo->setups().back(), (SimUSB::SetupPacket{0x80, 6, 0x0302, 0x0409, 255}));
    EXPECT_EQ(device->CopyStringDescriptor(9, 0), nullptr);
}

TEST_F(EchoDeviceTest, DeviceRequestCarriesDataBothWays)
{
    auto buffer = makeBuffer(16);
    IOAddressSegment range{};
    buffer->GetAddressRange(&range);
    std::memcpy(reinterpret_cast<void*>(range.address), "hello", 5);
    uint16_t transferred = 0;
    EXPECT_EQ(toy->interface()->DeviceRequest(0x40, 1, 0, 0, 5, buffer.get(), &transferred, 500),
              kIOReturnSuccess);
    EXPECT_EQ(transferred, 5);
    std::memset(reinterpret_cast<void*>(range.address), 0, 16);
    EXPECT_EQ(toy->interface()->DeviceRequest(0xC0, 1, 0, 0, 16, buffer.get(), &transferred, 500),
              kIOReturnSuccess);
    EXPECT_EQ(transferred, 5);
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(range.address), "hello", 5), 0);
    echo->setVendorAnswer(SimUSB::ControlAnswer::stall());
    EXPECT_EQ(toy->interface()->DeviceRequest(0xC0, 2, 0, 0, 1, buffer.get(), &transferred, 500),
              kIOUSBPipeStalled);
    EXPECT_EQ(kIOUSBPipeStalled, IOReturn(0xE000404F));
    EXPECT_EQ(transferred, 0);
}

TEST_F(EchoDeviceTest, InjectedFailuresComeFirst)
{
    DriverKitTesting::failNextCalls(toy->interface(), DriverKitTesting::USBCall::GetFrameNumber, 1,
                                    kIOReturnNotReady);
    uint64_t frame = 0;
    EXPECT_EQ(toy->interface()->GetFrameNumber(&frame, nullptr), kIOReturnNotReady);
    EXPECT_EQ(toy->interface()->GetFrameNumber(&frame, nullptr), kIOReturnSuccess);

    IOUSBHostPipe* pipe = nullptr;
    ASSERT_EQ(toy->interface()->CopyPipe(EchoDevice::kInterruptIn, &pipe), kIOReturnSuccess);
    OSSharedPtr<IOUSBHostPipe> held(pipe, OSNoRetain);
    DriverKitTesting::failNextCalls(pipe, DriverKitTesting::USBCall::AsyncIO, 2, kIOReturnNoResources);
    DriverKitTesting::failNextCalls(pipe, DriverKitTesting::USBCall::GetDescriptors, 1, kIOReturnError);
    auto buffer = makeBuffer(8);
    OSAction* action = nullptr;
    OSAction::Create(toy, nullptr, 0,
                     OSAction::AsyncIOHandler([](OSObject*, OSAction*, IOReturn, uint32_t, uint64_t) {}),
                     &action);
    OSSharedPtr<OSAction> heldAction(action, OSNoRetain);
    EXPECT_EQ(pipe->AsyncIO(buffer.get(), 8, action, 0), kIOReturnNoResources);
    EXPECT_EQ(pipe->AsyncIO(buffer.get(), 8, action, 0), kIOReturnNoResources);
    EXPECT_EQ(pipe->AsyncIO(buffer.get(), 8, action, 0), kIOReturnSuccess);
    IOUSBStandardEndpointDescriptors descriptors{};
    EXPECT_EQ(pipe->GetDescriptors(&descriptors), kIOReturnError);
    EXPECT_EQ(pipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, toy), kIOReturnSuccess);

    DriverKitTesting::failNextCalls(toy->interface(), DriverKitTesting::USBCall::DeviceRequest, 1,
                                    kIOReturnBusy);
    uint16_t transferred = 0;
    EXPECT_EQ(toy->interface()->DeviceRequest(0x80, 0, 0, 0, 2, buffer.get(), &transferred, 500),
              kIOReturnBusy);
}

// Interrupt reads complete on the action's queue with the bytes and a time stamp.
struct Reads
{
    std::mutex lock;
    std::condition_variable done;
    std::vector<std::pair<IOReturn, uint32_t>> results;
};
Reads* gReads = nullptr;

TEST_F(EchoDeviceTest, InterruptReadsCompleteOnTheActionsQueue)
{
    Reads reads;
    gReads = &reads;
    IOUSBHostPipe* pipe = nullptr;
    ASSERT_EQ(toy->interface()->CopyPipe(EchoDevice::kInterruptIn, &pipe), kIOReturnSuccess);
    OSSharedPtr<IOUSBHostPipe> held(pipe, OSNoRetain);
    auto buffer = makeBuffer(8);
    OSAction* action = nullptr;
    OSAction::Create(
        toy, nullptr, 0,
        OSAction::AsyncIOHandler([](OSObject*, OSAction*, IOReturn status, uint32_t actual, uint64_t) {
            std::lock_guard guard(gReads->lock);
            gReads->results.emplace_back(status, actual);
            gReads->done.notify_all();
        }),
        &action);
    OSSharedPtr<OSAction> heldAction(action, OSNoRetain);
    ASSERT_EQ(pipe->AsyncIO(buffer.get(), 8, action, 0), kIOReturnSuccess);
    ASSERT_EQ(pipe->AsyncIO(buffer.get(), 8, action, 0), kIOReturnSuccess);
    echo->postInterrupt({1, 2, 3});
    {
        std::unique_lock guard(reads.lock);
        reads.done.wait(guard, [&] { return reads.results.size() == 1; });
    }
    EXPECT_EQ(reads.results[0], std::make_pair(IOReturn(kIOReturnSuccess), 3u));
    pipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, toy);
    std::lock_guard guard(reads.lock);
    ASSERT_EQ(reads.results.size(), 2u);
    EXPECT_EQ(reads.results[1].first, kIOReturnAborted);
}

class ManualEchoTest : public EchoDeviceTest
{
protected:
    DarwinTesting::ManualClock clock;
};

TEST_F(ManualEchoTest, HungDeviceRequestTimesOutAtItsTimeOut)
{
    echo->setVendorAnswer(SimUSB::ControlAnswer::hang());
    auto buffer = makeBuffer(1);
    auto result = std::async(std::launch::async, [&] {
        uint16_t transferred = 0;
        return toy->interface()->DeviceRequest(0xC0, 2, 0, 0, 1, buffer.get(), &transferred, 500);
    });
    ASSERT_TRUE(DarwinTesting::eventually([&] { return clock.nextDeadline() != DarwinClock::kNever; }));
    clock.advance(499ms);
    EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
    clock.advance(1ms);
    EXPECT_EQ(result.get(), kIOUSBTransactionTimeout);
    EXPECT_EQ(kIOUSBTransactionTimeout, IOReturn(0xE0004051));
}

TEST_F(ManualEchoTest, FrameNumberFollowsTheManualClock)
{
    uint64_t first = 0;
    uint64_t time = 0;
    toy->interface()->GetFrameNumber(&first, &time);
    EXPECT_EQ(time, DarwinClock::hostNow());
    clock.advance(25ms);
    uint64_t later = 0;
    toy->interface()->GetFrameNumber(&later, nullptr);
    EXPECT_EQ(later, first + 25);
}

} // namespace
