#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOBufferMemoryDescriptor.h>
#include <IOKit/usb/IOUSBHostInterface.h>
#include <libkern/c++/OSNumber.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using SimUSBTesting::EchoDevice;

namespace {

// Completions as the work loop delivered them.
struct Completions
{
    struct Entry
    {
        IOReturn status;
        uint32_t bytes;
        bool onLoopInGate;
    };

    static void interrupt(void* owner, void*, IOReturn status, uint32_t bytes)
    {
        auto* self = static_cast<Completions*>(owner);
        std::lock_guard lock(self->fMutex);
        self->fEntries.push_back({status, bytes, self->fLoop->onThread() && self->fLoop->inGate()});
        self->fChanged.notify_all();
    }
    static void isochronous(void* owner, void* parameter, IOReturn status, IOUSBHostIsochronousFrame*)
    {
        interrupt(owner, parameter, status, 0);
    }

    // Waits until `count` have arrived, at most the poll limit.
    bool waitFor(size_t count)
    {
        std::unique_lock lock(fMutex);
        return fChanged.wait_for(lock, DarwinTesting::kPollLimit, [&] { return fEntries.size() >= count; });
    }
    std::vector<Entry> entries()
    {
        std::lock_guard lock(fMutex);
        return fEntries;
    }

    IOWorkLoop* fLoop = nullptr;
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<Entry> fEntries;
};

class KernelIOKitUSBTests : public testing::Test
{
protected:
    void SetUp() override
    {
        fLive = KernelIOKitTesting::liveObjects("OSObject");
        SimUSB::Bus::shared().attach(kPort, fEcho);
        ASSERT_TRUE(DarwinTesting::eventually([] {
            auto device = SimUSB::Bus::shared().device(kPort);
            return device && device->connected();
        }));
        fDevice = KernelIOKitTesting::publishUSBDevice(kPort);
        ASSERT_NE(fDevice, nullptr);
        fControl = KernelIOKitTesting::interfaceNub(fDevice, 0);
        fStreaming = KernelIOKitTesting::interfaceNub(fDevice, 1);
        ASSERT_NE(fControl, nullptr);
        ASSERT_NE(fStreaming, nullptr);
        fClient = new IOService;
        ASSERT_TRUE(fClient->init());
        fCompletions.fLoop = fDevice->getWorkLoop();
    }
    void TearDown() override
    {
        if (fDevice) {
            fDevice->terminate();
            OSSafeReleaseNULL(fDevice);
        }
        OSSafeReleaseNULL(fClient);
        SimUSB::Bus::shared().detach(kPort);
        // Completions still on their way may hold objects a moment after the detach.
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            return KernelIOKitTesting::liveObjects("OSObject") == fLive;
        })) << KernelIOKitTesting::liveObjects("OSObject")
            << " live objects, " << fLive << " before";
    }

    IOReturn vendorRequest(uint8_t type, uint8_t request, void* data, uint16_t length, uint32_t* transferred)
    {
        StandardUSB::DeviceRequest setup{type, request, 0, 0, length};
        uint32_t bytes = 0;
        const IOReturn result = fControl->deviceRequest(fClient, setup, data, bytes, 500);
        *transferred = bytes;
        return result;
    }

    static constexpr uint8_t kPort = 3;
    int32_t fLive = 0;
    std::shared_ptr<EchoDevice> fEcho = std::make_shared<EchoDevice>();
    IOUSBHostDevice* fDevice = nullptr;
    IOUSBHostInterface* fControl = nullptr;
    IOUSBHostInterface* fStreaming = nullptr;
    IOService* fClient = nullptr;
    Completions fCompletions;
};

TEST_F(KernelIOKitUSBTests, NubsCarryTheDevicesIdentityAndDescriptors)
{
    const StandardUSB::DeviceDescriptor* descriptor = fDevice->getDeviceDescriptor();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor->idVendor, EchoDevice::kVendor);
    for (IOService* service : {static_cast<IOService*>(fDevice), static_cast<IOService*>(fStreaming)}) {
        const auto* vendor = OSDynamicCast(OSNumber, service->getProperty("idVendor"));
        const auto* location = OSDynamicCast(OSNumber, service->getProperty("locationID"));
        ASSERT_NE(vendor, nullptr);
        ASSERT_NE(location, nullptr);
        EXPECT_EQ(vendor->unsigned16BitValue(), EchoDevice::kVendor);
        EXPECT_EQ(location->unsigned32BitValue(), 0x14000000u | kPort << 20);
    }
    EXPECT_EQ(fStreaming->getDevice(), fDevice);
    EXPECT_EQ(fStreaming->getWorkLoop(), fDevice->getWorkLoop());
    EXPECT_EQ(fStreaming->getConfigurationDescriptor(), fDevice->getConfigurationDescriptor());
    ASSERT_NE(fStreaming->getInterfaceDescriptor(), nullptr);
    EXPECT_EQ(fStreaming->getInterfaceDescriptor()->bAlternateSetting, 0);

    ASSERT_EQ(fStreaming->selectAlternateSetting(1), kIOReturnSuccess);
    EXPECT_EQ(fStreaming->getInterfaceDescriptor()->bAlternateSetting, 1);
    EXPECT_EQ(fEcho->interfaceSettings().back(), std::make_pair(uint8_t(1), uint8_t(1)));
    IOUSBHostPipe* pipe = fStreaming->copyPipe(EchoDevice::kIsochronousIn);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(StandardUSB::getEndpointMaxPacketSize(pipe->getEndpointDescriptor()),
              EchoDevice::kIsochronousMaxPacket);
    pipe->release();
    EXPECT_EQ(fStreaming->copyPipe(EchoDevice::kInterruptIn), nullptr);

    uint32_t bytes = 0;
    const StandardUSB::StringDescriptor* string =
        fDevice->getStringDescriptor(descriptor->iProduct, 0x0409, &bytes);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(bytes, string->bLength);
    EXPECT_EQ(fDevice->getStringDescriptor(descriptor->iProduct, 0x0409), string);
}

TEST_F(KernelIOKitUSBTests, ControlRequestsReportTheBusOutcome)
{
    uint8_t data[16] = {1, 2, 3, 4, 5};
    uint32_t transferred = 0;
    EXPECT_EQ(vendorRequest(0x40, 1, data, 5, &transferred), kIOReturnSuccess);
    EXPECT_EQ(transferred, 5u);
    uint8_t back[16] = {};
    EXPECT_EQ(vendorRequest(0xC0, 1, back, 16, &transferred), kIOReturnSuccess);
    EXPECT_EQ(transferred, 5u);
    EXPECT_EQ(std::memcmp(back, data, 5), 0);
    EXPECT_EQ(vendorRequest(0xC0, 9, back, 1, &transferred), kIOUSBPipeStalled);
    EXPECT_EQ(kIOUSBPipeStalled, IOReturn(0xE000404F));
    EXPECT_EQ(vendorRequest(0xC0, 1, nullptr, 1, &transferred), kIOReturnBadArgument);
    SimUSB::Bus::shared().detach(kPort);
    EXPECT_EQ(vendorRequest(0xC0, 1, back, 16, &transferred), kIOReturnNoDevice);
    EXPECT_EQ(transferred, 0u);
}

TEST_F(KernelIOKitUSBTests, InterruptReadsCompleteOnTheWorkLoopAndAbortEndsTheRest)
{
    IOUSBHostPipe* pipe = fControl->copyPipe(EchoDevice::kInterruptIn);
    ASSERT_NE(pipe, nullptr);
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(8, kIODirectionIn);
    IOUSBHostCompletion completion{&fCompletions, &Completions::interrupt, nullptr};
    ASSERT_EQ(pipe->io(buffer, 8, &completion), kIOReturnSuccess);
    ASSERT_EQ(pipe->io(buffer, 8, &completion), kIOReturnSuccess);
    EXPECT_EQ(pipe->io(buffer, 9, &completion), kIOReturnBadArgument);
    fEcho->postInterrupt({1, 2, 3});
    ASSERT_TRUE(fCompletions.waitFor(1));
    EXPECT_EQ(static_cast<uint8_t*>(buffer->getBytesNoCopy())[2], 3);
    EXPECT_EQ(pipe->abort(0, kIOReturnAborted, fClient), kIOReturnSuccess);
    const auto entries = fCompletions.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].status, kIOReturnSuccess);
    EXPECT_EQ(entries[0].bytes, 3u);
    EXPECT_EQ(entries[1].status, kIOReturnAborted);
    EXPECT_TRUE(entries[0].onLoopInGate);
    EXPECT_TRUE(entries[1].onLoopInGate);
    pipe->release();
    buffer->release();
}

TEST_F(KernelIOKitUSBTests, IsochronousTransfersOutsideTheBusRulesAreRefusedAndNothingIsQueued)
{
    ASSERT_EQ(fStreaming->selectAlternateSetting(1), kIOReturnSuccess);
    IOUSBHostPipe* pipe = fStreaming->copyPipe(EchoDevice::kIsochronousIn);
    ASSERT_NE(pipe, nullptr);
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(8 * 1024, kIODirectionIn);
    IOUSBHostIsochronousCompletion completion{&fCompletions, &Completions::isochronous, nullptr};
    IOUSBHostIsochronousFrame frames[8] = {};
    struct Case
    {
        const char* name;
        int64_t framesAhead;
        uint32_t requestCount;
        IOReturn expected;
    };
    const Case cases[] = {
        {"too old", 0, 512, IOReturn(0xE00002EE)},
        {"too new", 100'000, 512, IOReturn(0xE00002EF)},
        {"oversize", 20, 513, kIOReturnBadArgument},
    };
    for (const Case& c : cases) {
        for (IOUSBHostIsochronousFrame& frame : frames) {
            frame.requestCount = c.requestCount;
        }
        const uint64_t now = fStreaming->getFrameNumber();
        EXPECT_EQ(pipe->io(buffer, frames, 8, now + c.framesAhead, &completion), c.expected) << c.name;
    }
    pipe->abort();
    EXPECT_TRUE(fCompletions.entries().empty());
    pipe->release();
    buffer->release();
}

TEST_F(KernelIOKitUSBTests, OneClientOpensAnInterface)
{
    auto* other = new IOService;
    ASSERT_TRUE(other->init());
    EXPECT_TRUE(fControl->open(fClient));
    EXPECT_FALSE(fControl->open(other));
    fControl->close(fClient);
    EXPECT_TRUE(fControl->open(other));
    fControl->close(other);
    other->release();
}

class KernelIOKitManualUSBTests : public KernelIOKitUSBTests
{
protected:
    DarwinTesting::ManualClock fClock;
};

TEST_F(KernelIOKitManualUSBTests, AHungRequestTimesOutWhenTheClockPassesItsTimeOut)
{
    fEcho->setVendorAnswer(SimUSB::ControlAnswer::hang());
    auto result = std::async(std::launch::async, [&] {
        uint8_t byte = 0;
        uint32_t transferred = 0;
        return vendorRequest(0xC0, 2, &byte, 1, &transferred);
    });
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fClock.nextDeadline() != DarwinClock::kNever; }));
    fClock.advance(499ms);
    EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
    fClock.advance(1ms);
    EXPECT_EQ(result.get(), kIOUSBTransactionTimeout);
    EXPECT_EQ(kIOUSBTransactionTimeout, IOReturn(0xE0004051));
}

TEST_F(KernelIOKitManualUSBTests, FrameNumbersFollowTheClock)
{
    AbsoluteTime first = 0;
    const uint64_t frame = fControl->getFrameNumber(&first);
    fClock.advance(5ms);
    AbsoluteTime later = 0;
    EXPECT_EQ(fControl->getFrameNumber(&later), frame + 5);
    EXPECT_EQ(later - first, 5'000'000u);
}

// A driver polling for the next frame sees time pass when each read steps the clock after it, as
// the next read comes later on a bus; the hook is told what each read saw. Without it the frozen
// clock keeps the frame.
TEST_F(KernelIOKitManualUSBTests, AReadHookIsToldEachReadAndMayStepTheClock)
{
    AbsoluteTime first = 0;
    const uint64_t frame = fControl->getFrameNumber(&first);
    AbsoluteTime again = 0;
    EXPECT_EQ(fControl->getFrameNumber(&again), frame);
    EXPECT_EQ(again, first);

    std::vector<std::pair<uint64_t, AbsoluteTime>> told;
    KernelIOKitTesting::setFrameReadHook([&](uint64_t read, uint64_t time) {
        told.emplace_back(read, time);
        fClock.advance(250us);
    });
    std::vector<std::pair<uint64_t, AbsoluteTime>> seen;
    uint64_t now = frame;
    while (now == frame && seen.size() < 6) {
        AbsoluteTime time = 0;
        now = fControl->getFrameNumber(&time);
        seen.emplace_back(now, time);
    }
    KernelIOKitTesting::setFrameReadHook({});
    EXPECT_EQ(now, frame + 1);
    EXPECT_EQ(told, seen);
    ASSERT_LE(seen.size(), 5u);
    for (size_t index = 0; index < seen.size(); ++index) {
        EXPECT_EQ(seen[index].second, first + index * 250'000u) << index;
    }
    AbsoluteTime after = 0;
    EXPECT_EQ(fControl->getFrameNumber(&after), now);
    EXPECT_EQ(after, seen.back().second + 250'000u);
}

} // namespace
