#include "DextDevice.h"
#include "DextTestSupport.h"
#include "LateInputRequest.h"

#include <KorvanRequestRing.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace KorvanDeviceIO;

// Streaming a Wrenlet on the real clock while the bus holds back the input endpoint: its transfers
// complete only once the bus has passed the frames the driver would queue next, as when the
// driver's queue is served far too late.
class DextLateQueue : public DextTesting::DextDeviceTest
{
protected:
    void SetUp() override
    {
        attach(KorvanInterface::variantOptions(KorvanInterface::Model::Wrenlet, DextTesting::kVendor,
                                               KorvanInterface::Variant::Standard));
        connect = open();
        mach_vm_address_t address = 0;
        mach_vm_size_t mapped = 0;
        ASSERT_EQ(IOConnectMapMemory64(connect, 1, mach_task_self(), &address, &mapped, 1), kIOReturnSuccess);
        fIn = reinterpret_cast<const USBRequestBlock*>(address);
        ASSERT_EQ(IOConnectMapMemory64(connect, 2, mach_task_self(), &address, &mapped, 1), kIOReturnSuccess);
        fOut = reinterpret_cast<const USBRequestBlock*>(address);
    }

    // The latest microframe a block of `ring` was stamped for, and whether its counts are written.
    static uint64_t latest(const USBRequestBlock* ring, bool counted)
    {
        uint64_t microframe = 0;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const BlockHeader header = ReadBlockHeader(ring[index]);
            if (header.fHostTime != 0 && (!counted || header.fEndByteCount != 0)) {
                microframe = std::max(microframe, header.fMicroframe);
            }
        }
        return microframe;
    }

    static uint64_t busFrame() { return SimUSB::Bus::shared().frameClock().frameAt(DarwinClock::hostNow()); }

    const USBRequestBlock* fIn = nullptr;
    const USBRequestBlock* fOut = nullptr;
};

// The first request queued after the stall goes to the frame a start would take, 20 after the
// bus's, and the stream goes on from there: inputs keep completing, and each output is built 300
// frames after the input it mirrors.
TEST_F(DextLateQueue, RequestsTheBusHasPassedAreQueuedAheadAndTheStreamGoesOn)
{
    DarwinTesting::LogCapture capture;
    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return latest(fIn, true) != 0; }));

    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord,
                                      {SimUSB::Fault::Kind::Hold, SimUSB::Fault::Trigger::FromNow});
    // The next request would go 20 frames after the last one queued; hold until the bus is past it.
    ASSERT_TRUE(DarwinTesting::eventually([&] { return busFrame() > latest(fIn, false) / 8 + 40; }));
    const uint64_t cleared = busFrame();
    SimUSB::Bus::shared().clearFaults(kPort);

    LateInputRequest request{};
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        for (const std::string& line : DextTesting::lines(capture)) {
            if (const auto parsed = ParseLateInputRequest(line)) {
                request = *parsed;
                return true;
            }
        }
        return false;
    }));
    const auto [index, late, queued] = request;
    EXPECT_LT(late, cleared);
    EXPECT_GE(queued, cleared + 20);
    EXPECT_EQ(ReadBlockHeader(fIn[index]).fMicroframe, queued * 8);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return latest(fOut, false) >= (queued + 300) * 8; }));
    bool mirrored = false;
    for (size_t block = 0; block < kRequestBlockCount; ++block) {
        mirrored = mirrored || ReadBlockHeader(fOut[block]).fMicroframe == (queued + 300) * 8;
    }
    EXPECT_TRUE(mirrored);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return latest(fIn, true) > (queued + 100) * 8; }));
    EXPECT_EQ(DextTesting::countLines(capture, "input request "), 1u);
    ASSERT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);
}

} // namespace
