#include <KextTestSupport.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <KorvanRequestRing.h>

#include <chrono>
#include <cstdio>
#include <optional>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using namespace std::chrono_literals;

constexpr uint64_t kFrame = 1'000'000;

// The Wrenlet streaming on the manual clock. The bus's frames start on whole milliseconds of the
// clock and each frame-number read takes 1 µs, so a snapshot catches a frame's start exactly.
class Kext103ManualStreamTests : public KextFixture
{
protected:
    void SetUp() override
    {
        KextFixture::SetUp();
        plugIn(wrenlet());
        ASSERT_NE(startControl(false), nullptr);
        fProvider = fControl->GetProvider();
        fClock.emplace();
        fStart = DarwinClock::hostNow();
        SimUSB::Bus::shared().frameClock().restart(fStart - 1000 * kFrame);
        KernelIOKitTesting::setFrameReadHook([this] { fClock->advance(fReadStep); });
        fInput = fProvider->GetBufferDesc(1);
        fOutput = fProvider->GetBufferDesc(2);
    }

    void TearDown() override
    {
        if (fStarted) {
            stopAudio();
        }
        KernelIOKitTesting::setFrameReadHook({});
        OSSafeReleaseNULL(fInput);
        OSSafeReleaseNULL(fOutput);
        // The device leaves the bus on the manual clock, which then has nothing left to serve.
        KextFixture::TearDown();
        fClock.reset();
    }

    IOReturn startAudio(uint32_t inBytesPerFrame = 80, uint32_t outBytesPerFrame = 88)
    {
        IOWorkLoop* loop = fControl->getWorkLoop();
        loop->closeGate();
        const IOReturn result = fProvider->StartAudioDMA(2, 1, inBytesPerFrame, 1, 1, outBytesPerFrame);
        loop->openGate();
        fStarted = result == kIOReturnSuccess;
        return result;
    }
    void stopAudio()
    {
        IOWorkLoop* loop = fControl->getWorkLoop();
        loop->closeGate();
        fProvider->StopAudioDMA();
        loop->openGate();
        fStarted = false;
    }

    static const USBRequestBlock& block(IOMemoryDescriptor* ring, size_t index)
    {
        return *reinterpret_cast<const USBRequestBlock*>(
            static_cast<const uint8_t*>(ring->getKernelAddress()) + RequestBlockOffset(index));
    }
    static BlockHeader header(IOMemoryDescriptor* ring, size_t index)
    {
        return ReadBlockHeader(block(ring, index));
    }
    // The host time at which frame `frame` starts on the bus.
    static uint64_t frameStart(uint64_t frame)
    {
        return SimUSB::Bus::shared().frameClock().microframeStart(frame * 8);
    }

    // The frames the last start named: first input and output request and their host times.
    struct FirstRequests
    {
        unsigned long long inFrame = 0, inTime = 0, outFrame = 0, outTime = 0;
    };
    FirstRequests firstRequests() const
    {
        FirstRequests first;
        for (const std::string& line : logLines()) {
            std::sscanf(line.c_str(), "first in req %llu (%llu), first out req %llu (%llu)", &first.inFrame,
                        &first.inTime, &first.outFrame, &first.outTime);
        }
        return first;
    }

    std::optional<DarwinTesting::ManualClock> fClock;
    std::chrono::nanoseconds fReadStep = 1us;
    uint64_t fStart = 0;
    com_vork_driver_tide_provider* fProvider = nullptr;
    IOMemoryDescriptor* fInput = nullptr;
    IOMemoryDescriptor* fOutput = nullptr;
    bool fStarted = false;
};

// The start catches the boundary of the next frame, F; the first input request goes 20 frames and
// the first output request 340 frames later, each stamped with the time its frame starts on the bus.
// Eight input requests 20 frames apart are queued from block 0, and nothing else is stamped.
TEST_F(Kext103ManualStreamTests, TheFirstRequestsFollowTheFrameTheStartCaught)
{
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    const uint64_t frame = 1001;
    EXPECT_EQ(DarwinClock::hostNow(), frameStart(frame) + 1000);
    const FirstRequests first = firstRequests();
    EXPECT_EQ(first.inFrame, frame + 20);
    EXPECT_EQ(first.inTime, frameStart(frame + 20));
    EXPECT_EQ(first.outFrame, frame + 340);
    EXPECT_EQ(first.outTime, frameStart(frame + 340));
    for (size_t index = 0; index < kRequestBlockCount; ++index) {
        const uint64_t expected = index < 8 ? frameStart(frame + 20 + 20 * index) : 0;
        EXPECT_EQ(header(fInput, index).fHostTime, expected) << index;
        EXPECT_EQ(header(fOutput, index).fHostTime, 0u) << index;
    }
}

} // namespace
} // namespace KextTesting
