#include <KextTestSupport.h>

#include <KorvanInterface/Descriptors.h>
#include <KorvanRequestRing.h>

#include <cstring>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;

class Kext103StreamTests : public KextFixture
{
protected:
    const USBRequestBlock& block(IOMemoryDescriptor* ring, size_t index)
    {
        return *reinterpret_cast<const USBRequestBlock*>(
            static_cast<const uint8_t*>(ring->getKernelAddress()) + RequestBlockOffset(index));
    }

    // The headers of a stopped ring's blocks in submission order, those never submitted left out.
    std::vector<BlockHeader> submitted(IOMemoryDescriptor* ring)
    {
        std::vector<BlockHeader> headers;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const BlockHeader header = ReadBlockHeader(block(ring, index));
            if (header.fHostTime != 0) {
                headers.push_back(header);
            }
        }
        std::sort(headers.begin(), headers.end(),
                  [](const BlockHeader& a, const BlockHeader& b) { return a.fHostTime < b.fHostTime; });
        return headers;
    }

    // The Wrenlet with the real provider; audio started at 48 kHz with `inBytesPerFrame`.
    IOReturn startAudio(uint32_t inBytesPerFrame = 80)
    {
        if (!fProvider) {
            plugIn(wrenlet());
            KextTestControl* control = startControl(false);
            fProvider = control ? control->GetProvider() : nullptr;
        }
        if (!fProvider) {
            return kIOReturnNoDevice;
        }
        fControl->getWorkLoop()->closeGate();
        const IOReturn result = fProvider->StartAudioDMA(2, 1, inBytesPerFrame, 1, 1, 88);
        fControl->getWorkLoop()->openGate();
        return result;
    }
    void stopAudio()
    {
        fControl->getWorkLoop()->closeGate();
        fProvider->StopAudioDMA();
        fControl->getWorkLoop()->openGate();
    }
    // Waits until every output block has been submitted once.
    bool outputRingFilled()
    {
        IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
        const bool filled = DarwinTesting::eventually([&] {
            for (size_t index = 0; index < kRequestBlockCount; ++index) {
                if (ReadBlockHeader(block(output, index)).fEndByteCount == 0) {
                    return false;
                }
            }
            return true;
        });
        output->release();
        return filled;
    }

    com_vork_driver_tide_provider* fProvider = nullptr;
};

// Output requests of a client that claims fewer input bytes per frame than the device sends would be
// larger than the endpoint carries: each is cut to the endpoint, and output goes on.
TEST_F(Kext103StreamTests, OutputRequestsStayWithinTheEndpoint)
{
    ASSERT_EQ(startAudio(8), kIOReturnSuccess);
    ASSERT_TRUE(outputRingFilled());
    stopAudio();
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    const uint32_t outMaxPacket = KorvanInterface::playbackMaxPacket(22, 4, KorvanInterface::Family::Single);
    for (size_t index = 0; index < kRequestBlockCount; ++index) {
        const BlockHeader header = ReadBlockHeader(block(output, index));
        EXPECT_EQ(header.fEndByteCount - header.fStartByteCount, 160u * outMaxPacket) << index;
    }
    output->release();
    bool capped = false;
    for (const std::string& line : logLines()) {
        capped |= line.rfind("output request of ", 0) == 0;
        EXPECT_EQ(line.find("fIsocOutPipe->Write returned"), std::string::npos) << line;
    }
    EXPECT_TRUE(capped);
}

struct SnapshotCase
{
    const char* name;
    size_t failingTries;
    IOReturn result;
};

void PrintTo(const SnapshotCase& c, std::ostream* out)
{
    *out << c.name;
}

class Kext103SnapshotTests : public Kext103StreamTests, public testing::WithParamInterface<SnapshotCase>
{};

INSTANTIATE_TEST_SUITE_P(Tries, Kext103SnapshotTests,
                         testing::Values(SnapshotCase{"OneFailed", 1, kIOReturnSuccess},
                                         SnapshotCase{"NineFailed", 9, kIOReturnSuccess},
                                         SnapshotCase{"AllTenFailed", 10, kIOReturnError}),
                         [](const testing::TestParamInfo<SnapshotCase>& info) {
                             return std::string(info.param.name);
                         });

// A try fails when the frame number jumps past the next frame; a start whose ten tries all fail
// releases the interfaces, and the next start succeeds.
TEST_P(Kext103SnapshotTests, AStartNeedsOneTryThatSeesTheBoundary)
{
    plugIn(wrenlet());
    KextTestControl* control = startControl(false);
    ASSERT_NE(control, nullptr);
    fProvider = control->GetProvider();
    const uint64_t frame = SimUSB::Bus::shared().frameClock().currentFrame();
    std::vector<SimUSB::FrameReading> readings;
    for (size_t i = 0; i < GetParam().failingTries; ++i) {
        readings.push_back({frame, 0});
        readings.push_back({frame + 2, 0});
    }
    if (GetParam().result == kIOReturnSuccess) {
        // The try after the failed ones sees the boundary at once: polling the live clock for it
        // could skip a frame on a loaded machine.
        readings.insert(readings.end(), {{frame + 4, 0}, {frame + 4, 0}, {frame + 5, 0}});
    }
    SimUSB::Bus::shared().frameClock().setScript(readings);
    EXPECT_EQ(startAudio(), GetParam().result);
    const std::vector<std::string> lines = logLines();
    EXPECT_EQ(size_t(std::count(lines.begin(), lines.end(), "read timestamp skipped a frame\n")),
              GetParam().failingTries);
    const bool gaveUp = GetParam().result != kIOReturnSuccess;
    EXPECT_EQ(logged("UpdateFrameTimestamps FAIL\n"), gaveUp);
    EXPECT_EQ(logged("failed to read frame snapshot\n"), gaveUp);
    if (gaveUp) {
        EXPECT_EQ(fModel->alternate(2), 0);
        EXPECT_EQ(fModel->alternate(1), 0);
        EXPECT_EQ(startAudio(), kIOReturnSuccess);
    }
    stopAudio();
}

TEST_F(Kext103StreamTests, StreamingFillsBothRingsWithContinuousBlocksAndStopsCleanly)
{
    plugIn(wrenlet());
    KextTestControl* control = startControl(false);
    ASSERT_NE(control, nullptr);
    com_vork_driver_tide_provider* provider = control->GetProvider();
    IOWorkLoop* loop = control->getWorkLoop();

    loop->closeGate();
    const IOReturn started = provider->StartAudioDMA(2, 1, 80, 1, 1, 88);
    loop->openGate();
    ASSERT_EQ(started, kIOReturnSuccess);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(control), 1u);
    EXPECT_EQ(fModel->alternate(2), 1);
    EXPECT_EQ(fModel->alternate(1), 1);
    loop->closeGate();
    EXPECT_EQ(provider->StartAudioDMA(2, 1, 80, 1, 1, 88), kIOReturnError);
    loop->openGate();

    IOMemoryDescriptor* input = provider->GetBufferDesc(1);
    IOMemoryDescriptor* output = provider->GetBufferDesc(2);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(output, nullptr);
    // Twenty blocks of output submitted: the whole ring has gone round once.
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            if (ReadBlockHeader(block(output, index)).fEndByteCount == 0) {
                return false;
            }
        }
        return true;
    }));

    loop->closeGate();
    EXPECT_EQ(provider->StopAudioDMA(), kIOReturnSuccess);
    loop->openGate();
    EXPECT_EQ(fModel->alternate(2), 0);
    EXPECT_EQ(fModel->alternate(1), 0);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(control), 0u);

    for (IOMemoryDescriptor* ring : {output}) {
        const std::vector<BlockHeader> headers = submitted(ring);
        ASSERT_GE(headers.size(), kRequestBlockCount);
        for (size_t index = 1; index < headers.size(); ++index) {
            EXPECT_EQ(headers[index].fStartByteCount, headers[index - 1].fEndByteCount) << index;
            // 20 ms per block, as predicted from the frame snapshots.
            EXPECT_NEAR(double(headers[index].fHostTime - headers[index - 1].fHostTime), 20e6, 100e3)
                << index;
        }
    }
    const ChaseRecord zero{};
    for (IOMemoryDescriptor* ring : {input, output}) {
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            EXPECT_EQ(block(ring, index).fMicroframe, 0u);
            EXPECT_EQ(std::memcmp(&block(ring, index).fChase[1], &zero, sizeof(zero)), 0);
        }
    }
    for (const std::string& line : logLines()) {
        EXPECT_EQ(line.find("USB IN ERR"), std::string::npos) << line;
        EXPECT_EQ(line.find("OH NO"), std::string::npos) << line;
    }
    unsigned long long inFrame = 0, inTime = 0, outFrame = 0, outTime = 0;
    bool skipped = false;
    for (const std::string& line : logLines()) {
        std::sscanf(line.c_str(), "first in req %llu (%llu), first out req %llu (%llu)", &inFrame, &inTime,
                    &outFrame, &outTime);
        skipped |= line == "skipping first in request 00000000\n";
    }
    // The first output goes 320 frames after the first input, each predicted at 1 ms a frame.
    EXPECT_EQ(outFrame - inFrame, 320u);
    EXPECT_NEAR(double(outTime - inTime), 320e6, 1e6);
    EXPECT_TRUE(skipped);
    EXPECT_TRUE(logged("->USBIsocIOStream::Abort\n"));
    EXPECT_TRUE(logged("<-USBIsocIOStream::Abort\n"));
    input->release();
    output->release();
}

// Each start, the first and one after a stop, begins at block 0 of both rings with eight input
// requests 20 frames apart, stamped with their predicted host times, and no output yet. The gate is
// held until the rings are read, so no completion comes in between.
TEST_F(Kext103StreamTests, EachStartSubmitsEightInputRequestsFromTheFirstBlock)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    IOWorkLoop* loop = fControl->getWorkLoop();
    IOMemoryDescriptor* input = fProvider->GetBufferDesc(1);
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        loop->closeGate();
        ASSERT_EQ(fProvider->StartAudioDMA(2, 1, 80, 1, 1, 88), kIOReturnSuccess);
        std::vector<BlockHeader> in;
        std::vector<BlockHeader> out;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            in.push_back(ReadBlockHeader(block(input, index)));
            out.push_back(ReadBlockHeader(block(output, index)));
        }
        loop->openGate();
        // The last start's line.
        unsigned long long firstFrame = 0, firstTime = 0, outFrame = 0, outTime = 0;
        for (const std::string& line : logLines()) {
            std::sscanf(line.c_str(), "first in req %llu (%llu), first out req %llu (%llu)", &firstFrame,
                        &firstTime, &outFrame, &outTime);
        }
        ASSERT_NE(firstTime, 0u);
        const uint64_t twentyFrames = in[1].fHostTime - in[0].fHostTime;
        EXPECT_NEAR(double(twentyFrames), 20e6, 100e3);
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const uint64_t expected = index < 8 ? firstTime + index * twentyFrames : 0;
            EXPECT_EQ(in[index].fHostTime, expected) << index;
            EXPECT_EQ(in[index].fEndByteCount, 0u) << index;
            EXPECT_EQ(out[index].fHostTime, 0u) << index;
        }
        loop->closeGate();
        fProvider->StopAudioDMA();
        loop->openGate();
    }
    input->release();
    output->release();
}

// Sleep stops audio with the device at alternate 0; after wake the client starts it again.
TEST_F(Kext103StreamTests, SleepStopsAudioAndTheClientStartsItAgainAfterWake)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    IOUserClient* client = nullptr;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr,
                                      com_vork_driver_tide_userClient::kAudioClientType, nullptr, &client),
              kIOReturnSuccess);
    auto runState = [&](uint32_t state) {
        const USBAudioRunStateRequest request{state, 2, 1, 80, 1, 1, 88};
        ErrorResult status{};
        IOByteCount size = sizeof(status);
        return client->callStructMethod(kSetUSBAudioRunState, &request, sizeof(request), &status, &size);
    };
    fProvider = fControl->GetProvider();
    ASSERT_EQ(runState(1), kIOReturnSuccess);
    ASSERT_TRUE(outputRingFilled());

    EXPECT_EQ(fControl->setPowerState(1, fControl), kIOPMAckImplied);
    EXPECT_EQ(fModel->alternate(2), 0);
    EXPECT_EQ(fModel->alternate(1), 0);
    EXPECT_TRUE(logged("Stopping Audio DMA\n"));
    EXPECT_EQ(fControl->setPowerState(2, fControl), kIOPMAckImplied);
    EXPECT_TRUE(logged("USBProvider::HardwareInit\n"));

    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    const uint64_t before = ReadBlockHeader(block(output, 0)).fHostTime;
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    ASSERT_EQ(runState(1), kIOReturnSuccess);
    EXPECT_EQ(fModel->alternate(2), 1);
    EXPECT_TRUE(
        DarwinTesting::eventually([&] { return ReadBlockHeader(block(output, 1)).fHostTime > before; }));
    output->release();
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    client->clientClose();
    client->release();
}

// An input completion with a device error is logged and signals nothing; the next good one builds
// the output for both, so the byte counts run on without a gap.
TEST_F(Kext103StreamTests, AnInputErrorIsPickedUpByTheNextGoodCompletion)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    SimUSB::Fault fault;
    fault.kind = SimUSB::Fault::Kind::RequestStatus;
    fault.trigger = SimUSB::Fault::Trigger::Transfers;
    fault.first = 3;
    fault.count = 1;
    fault.status = 0xE00002E9;
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, fault);
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    ASSERT_TRUE(outputRingFilled());
    stopAudio();
    SimUSB::Bus::shared().clearFaults(kPort);
    EXPECT_TRUE(logged("USB IN ERR e00002e9\n"));
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    const std::vector<BlockHeader> headers = submitted(output);
    ASSERT_GE(headers.size(), kRequestBlockCount);
    for (size_t index = 1; index < headers.size(); ++index) {
        EXPECT_EQ(headers[index].fStartByteCount, headers[index - 1].fEndByteCount) << index;
    }
    output->release();
}

} // namespace
} // namespace KextTesting
