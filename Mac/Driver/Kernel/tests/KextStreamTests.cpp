#include <KextTestSupport.h>

#include "VorkAllocationCounter.h"

#include <KorvanInterface/Descriptors.h>
#include <KorvanRequestRing.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;

class KextStreamTests : public KextFixture
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
    // Starts audio as a client does (see DarwinTesting::startedWithin).
    IOReturn startAudioAsAClient(uint32_t inBytesPerFrame = 80)
    {
        IOReturn result = kIOReturnError;
        (void)DarwinTesting::startedWithin([&] {
            result = startAudio(inBytesPerFrame);
            return result == kIOReturnSuccess;
        });
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
TEST_F(KextStreamTests, OutputRequestsStayWithinTheEndpoint)
{
    ASSERT_EQ(startAudioAsAClient(8), kIOReturnSuccess);
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
        capped |= line.find(" packets capped, the largest asked for ") != std::string::npos;
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

class KextStartSnapshotTests : public KextStreamTests, public testing::WithParamInterface<SnapshotCase>
{};

INSTANTIATE_TEST_SUITE_P(Tries, KextStartSnapshotTests,
                         testing::Values(SnapshotCase{"OneFailed", 1, kIOReturnSuccess},
                                         SnapshotCase{"NineFailed", 9, kIOReturnSuccess},
                                         SnapshotCase{"AllTenFailed", 10, kIOReturnError}),
                         [](const testing::TestParamInfo<SnapshotCase>& info) {
                             return std::string(info.param.name);
                         });

// A try fails when the frame number jumps past the next frame; a start whose ten tries all fail
// releases the interfaces, and the next start succeeds.
TEST_P(KextStartSnapshotTests, AStartNeedsOneTryThatSeesTheBoundary)
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
        EXPECT_EQ(startAudioAsAClient(), kIOReturnSuccess);
    }
    stopAudio();
}

TEST_F(KextStreamTests, StreamingFillsBothRingsWithContinuousBlocksAndStopsCleanly)
{
    plugIn(wrenlet());
    KextTestControl* control = startControl(false);
    ASSERT_NE(control, nullptr);
    com_vork_driver_tide_provider* provider = control->GetProvider();
    IOWorkLoop* loop = control->getWorkLoop();

    ASSERT_TRUE(DarwinTesting::startedWithin([&] {
        loop->closeGate();
        const IOReturn started = provider->StartAudioDMA(2, 1, 80, 1, 1, 88);
        loop->openGate();
        return started == kIOReturnSuccess;
    }));
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

struct TryCase
{
    const char* name;
    // Frame and time offsets from the current frame and a base time.
    std::vector<std::pair<uint64_t, uint64_t>> readings;
    std::pair<uint64_t, uint64_t> snapshot;
    size_t skippedFrames;
};

void PrintTo(const TryCase& c, std::ostream* out)
{
    *out << c.name;
}

class KextSnapshotTryTests : public KextStreamTests, public testing::WithParamInterface<TryCase>
{};

INSTANTIATE_TEST_SUITE_P(
    Readings, KextSnapshotTryTests,
    testing::Values(
        TryCase{"AGapOf10000Succeeds", {{0, 0}, {1, 10'000}}, {1, 10'000}, 0},
        TryCase{"AGapOf10001FailsTheTry", {{0, 0}, {1, 10'001}, {3, 20'000}, {4, 20'100}}, {4, 20'100}, 0},
        TryCase{"ARepeatedFrameUpdatesTheTime", {{0, 0}, {0, 5'000}, {1, 14'000}}, {1, 14'000}, 0},
        TryCase{"ASkippedFrameFailsTheTry", {{0, 0}, {2, 100}, {3, 20'000}, {4, 20'100}}, {4, 20'100}, 1}),
    [](const testing::TestParamInfo<TryCase>& info) { return std::string(info.param.name); });

// A try catches the frame boundary between two readings at most 10,000 units apart, the time of a
// repeated frame counting as the later reading; the snapshot it takes is what the first requests'
// host times are predicted from.
TEST_P(KextSnapshotTryTests, TheSnapshotIsTheBoundaryTheTryCaught)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    constexpr uint64_t kBase = 7'000'000'000;
    const uint64_t frame = SimUSB::Bus::shared().frameClock().currentFrame();
    std::vector<SimUSB::FrameReading> readings;
    for (const auto& [frameOffset, timeOffset] : GetParam().readings) {
        readings.push_back({frame + frameOffset, kBase + timeOffset});
    }
    SimUSB::Bus::shared().frameClock().setScript(readings);
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    stopAudio();

    unsigned long long firstFrame = 0, firstTime = 0, outFrame = 0, outTime = 0;
    for (const std::string& line : logLines()) {
        std::sscanf(line.c_str(), "first in req %llu (%llu), first out req %llu (%llu)", &firstFrame,
                    &firstTime, &outFrame, &outTime);
    }
    ASSERT_NE(firstFrame, 0u);
    const uint64_t snapshotFrame = frame + GetParam().snapshot.first;
    EXPECT_EQ(firstTime, (firstFrame - snapshotFrame) * 1'000'000 + kBase + GetParam().snapshot.second);
    const std::vector<std::string> lines = logLines();
    EXPECT_EQ(size_t(std::count(lines.begin(), lines.end(), "read timestamp skipped a frame\n")),
              GetParam().skippedFrames);
}

struct FoldCase
{
    const char* name;
    // The snapshot loop's try, as frame and time offsets from the start's.
    std::pair<uint64_t, uint64_t> before;
    std::pair<uint64_t, uint64_t> caught;
    // What the second output request is predicted from: frame and time offsets, and the period.
    std::pair<uint64_t, uint64_t> current;
    uint64_t period;
};

class KextSnapshotFoldTests : public KextStreamTests, public testing::WithParamInterface<FoldCase>
{};

INSTANTIATE_TEST_SUITE_P(
    Snapshots, KextSnapshotFoldTests,
    testing::Values(FoldCase{"ANewFrameMovesThePeriodByAQuarterOfItsDeviation",
                             {10, 10'000'000},
                             {11, 10'005'000},
                             {11, 10'005'000},
                             1'000'125},
                    FoldCase{"TheSameFrameAgainIsNotQueued", {0, 50}, {1, 100}, {1, 0}, 1'000'000}),
    [](const testing::TestParamInfo<FoldCase>& info) { return std::string(info.param.name); });

// The snapshot loop's first snapshot, taken after the first output request, is folded into the
// second: a sample of 1,000,500 units a frame moves the period, the mean of the last four, from
// 1,000,000 to 1,000,125, and a snapshot of the frame already known is not queued.
TEST_P(KextSnapshotFoldTests, TheSecondOutputRequestFoldsInTheLoopsSnapshot)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    const uint64_t frame = SimUSB::Bus::shared().frameClock().currentFrame();
    const uint64_t time = mach_absolute_time();
    const FoldCase& c = GetParam();
    // The start's try catches frame + 1 at `time` and its first requests follow frame.
    SimUSB::Bus::shared().frameClock().setScript({{frame, time - 1'000},
                                                  {frame + 1, time},
                                                  {frame, time},
                                                  {frame + c.before.first, time + c.before.second},
                                                  {frame + c.caught.first, time + c.caught.second}});
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return ReadBlockHeader(block(output, 1)).fHostTime != 0; }));
    stopAudio();

    // The first output request is 340 frames after the start's frame, the second 20 later.
    EXPECT_EQ(ReadBlockHeader(block(output, 0)).fHostTime, (frame + 340 - (frame + 1)) * 1'000'000 + time);
    EXPECT_EQ(ReadBlockHeader(block(output, 1)).fHostTime,
              (frame + 360 - (frame + c.current.first)) * c.period + time + c.current.second);
    output->release();
}

// Each start, the first and one after a stop, begins at block 0 of both rings with eight input
// requests 20 frames apart, stamped with their predicted host times, and no output yet. The gate is
// held until the rings are read, so no completion comes in between.
TEST_F(KextStreamTests, EachStartSubmitsEightInputRequestsFromTheFirstBlock)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    IOWorkLoop* loop = fControl->getWorkLoop();
    IOMemoryDescriptor* input = fProvider->GetBufferDesc(1);
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        // The gate stays closed after the start, so that no request has completed yet.
        ASSERT_TRUE(DarwinTesting::startedWithin([&] {
            loop->closeGate();
            if (fProvider->StartAudioDMA(2, 1, 80, 1, 1, 88) == kIOReturnSuccess) {
                return true;
            }
            loop->openGate();
            return false;
        }));
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

// Marks or unmarks the thread of a work loop for the allocation counter, on that thread.
class AllocationMarkSource : public IOEventSource
{
    OSDeclareDefaultStructors(AllocationMarkSource)

        public : void mark(bool marked)
    {
        fMarked = marked;
        fDone = false;
        signalWorkAvailable();
        EXPECT_TRUE(DarwinTesting::eventually([&] { return fDone.load(); }));
    }

protected:
    bool checkForWork() override
    {
        if (!fDone.load()) {
            VorkTesting::markThread(fMarked.load());
            fDone = true;
        }
        return false;
    }

private:
    std::atomic<bool> fMarked{false};
    std::atomic<bool> fDone{true};
};

OSDefineMetaClassAndStructors(AllocationMarkSource, IOEventSource)

    // Once streaming, the bus work loop's completions, re-queueing and requests allocate nothing. A
    // loaded machine can make the driver log, and logging may allocate: the claim is about a stretch
    // in which the bus work loop logged nothing. The snapshot loop's missed boundaries are logged on
    // its own thread, which is not counted.
    TEST_F(KextStreamTests, TheBusWorkLoopAllocatesNothingOnceStreaming)
{
    ASSERT_EQ(startAudioAsAClient(), kIOReturnSuccess);
    IOWorkLoop* bus = fControl->getWorkLoop();
    auto* marker = new AllocationMarkSource;
    ASSERT_TRUE(marker->init(fControl));
    bus->addEventSource(marker);
    IOMemoryDescriptor* output = fProvider->GetBufferDesc(2);
    // Ten blocks of output submitted.
    ASSERT_TRUE(DarwinTesting::eventually([&] { return ReadBlockHeader(block(output, 10)).fHostTime != 0; }));
    auto latestOutput = [&] {
        uint64_t latest = 0;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            latest = std::max(latest, ReadBlockHeader(block(output, index)).fHostTime);
        }
        return latest;
    };
    marker->mark(true);
    bool quiet = false;
    for (int window = 0; window < 5 && !quiet; ++window) {
        const DarwinTesting::LogCapture logged;
        const VorkTesting::MarkedThreadsAllocationCounter allocations;
        // Twenty more blocks of 20 ms.
        const uint64_t from = latestOutput();
        ASSERT_TRUE(DarwinTesting::eventually([&] { return latestOutput() >= from + 400'000'000ull; }));
        const std::vector<std::string> lines = logged.texts(DarwinTesting::LogSource::OSLog);
        quiet = std::all_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line == "read timestamp skipped a frame\n" || line == "UpdateFrameTimestamps FAIL\n";
        });
        if (quiet) {
            EXPECT_EQ(allocations.count(), 0u);
        }
    }
    EXPECT_TRUE(quiet) << "in every stretch of streaming the bus work loop logged something";
    marker->mark(false);
    bus->removeEventSource(marker);
    marker->release();
    output->release();
    stopAudio();
}

// Sleep stops audio with the device at alternate 0; after wake the client starts it again.
TEST_F(KextStreamTests, SleepStopsAudioAndTheClientStartsItAgainAfterWake)
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
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(1) == kIOReturnSuccess; }));
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
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(1) == kIOReturnSuccess; }));
    EXPECT_EQ(fModel->alternate(2), 1);
    EXPECT_TRUE(
        DarwinTesting::eventually([&] { return ReadBlockHeader(block(output, 1)).fHostTime > before; }));
    output->release();
    ASSERT_EQ(runState(0), kIOReturnSuccess);
    client->clientClose();
    client->release();
}

struct StatusCase
{
    const char* name;
    IOReturn status;
    bool logged;
};

class KextInputStatusTests : public KextStreamTests, public testing::WithParamInterface<StatusCase>
{};

INSTANTIATE_TEST_SUITE_P(Statuses, KextInputStatusTests,
                         testing::Values(StatusCase{"Success", kIOReturnSuccess, false},
                                         StatusCase{"Underrun", IOReturn(0xE00002E7), false},
                                         StatusCase{"NotResponding", IOReturn(0xE00002ED), true},
                                         StatusCase{"UsbE000400E", IOReturn(0xE000400E), true},
                                         StatusCase{"DeviceError", IOReturn(0xE00002E9), true},
                                         StatusCase{"Aborted", IOReturn(0xE00002EB), false}),
                         [](const testing::TestParamInfo<StatusCase>& info) {
                             return std::string(info.param.name);
                         });

// An input completion's status is logged unless it is a success, an underrun or an abort; whether the
// completion is processed at once or picked up by the next good one, the byte counts run on without
// a gap.
TEST_P(KextInputStatusTests, AnInputCompletionsStatusLeavesNoGap)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    fProvider = fControl->GetProvider();
    SimUSB::Fault fault;
    fault.kind = SimUSB::Fault::Kind::RequestStatus;
    fault.trigger = SimUSB::Fault::Trigger::Transfers;
    fault.first = 3;
    fault.count = 1;
    fault.status = uint32_t(GetParam().status);
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, fault);
    ASSERT_EQ(startAudioAsAClient(), kIOReturnSuccess);
    ASSERT_TRUE(outputRingFilled());
    stopAudio();
    SimUSB::Bus::shared().clearFaults(kPort);
    char line[64];
    std::snprintf(line, sizeof(line), "USB IN ERR %08x\n", unsigned(GetParam().status));
    EXPECT_EQ(logged(line), GetParam().logged);
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
