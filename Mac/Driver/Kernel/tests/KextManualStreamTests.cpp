#include <KextTestSupport.h>
#include <ManualBusClock.h>

#include <Darwin/Clock.h>
#include <KorvanRequestRing.h>
#include <SimUSB/Bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using namespace std::chrono_literals;

constexpr uint64_t kFrame = ManualBusClock::kFrame;

// The Wrenlet streaming on the manual clock.
class KextManualStreamTests : public KextFixture
{
protected:
    void SetUp() override
    {
        KextFixture::SetUp();
        plugIn(wrenlet());
        ASSERT_NE(startControl(false), nullptr);
        fProvider = fControl->GetProvider();
        fBusClock.emplace();
        fInput = fProvider->GetBufferDesc(1);
        fOutput = fProvider->GetBufferDesc(2);
    }

    void TearDown() override
    {
        if (fStarted) {
            stopAudio();
        }
        OSSafeReleaseNULL(fInput);
        OSSafeReleaseNULL(fOutput);
        // The device leaves the bus on the manual clock, which then has nothing left to serve.
        KextFixture::TearDown();
        fBusClock.reset();
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
    static uint64_t frameStart(uint64_t frame) { return ManualBusClock::frameStart(frame); }

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
    // Moves the clock to where input request `request` of the last start has completed: 20 frames
    // from its first, the bus's service delay and its 1 ms completion latency.
    void completeInput(size_t request)
    {
        fBusClock->clock().advanceTo(frameStart(firstRequests().inFrame + 20 * (request + 1)) +
                                     SimUSB::Bus::kServiceDelay + kFrame);
    }
    // How many blocks of a ring carry a host time: before the ring wraps, those submitted.
    static size_t stamped(IOMemoryDescriptor* ring)
    {
        size_t count = 0;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            count += header(ring, index).fHostTime != 0;
        }
        return count;
    }
    // The headers of the blocks whose byte counts were written, oldest first.
    static std::vector<BlockHeader> counted(IOMemoryDescriptor* ring)
    {
        std::vector<BlockHeader> headers;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            if (header(ring, index).fEndByteCount != 0) {
                headers.push_back(header(ring, index));
            }
        }
        std::sort(headers.begin(), headers.end(),
                  [](const BlockHeader& a, const BlockHeader& b) { return a.fHostTime < b.fHostTime; });
        return headers;
    }

    std::optional<ManualBusClock> fBusClock;
    com_vork_driver_tide_provider* fProvider = nullptr;
    IOMemoryDescriptor* fInput = nullptr;
    IOMemoryDescriptor* fOutput = nullptr;
    bool fStarted = false;
};

// The start catches the boundary of the next frame, F; the first input request goes 20 frames and
// the first output request 340 frames later, each stamped with the time its frame starts on the bus.
// Eight input requests 20 frames apart are queued from block 0, and nothing else is stamped.
TEST_F(KextManualStreamTests, TheFirstRequestsFollowTheFrameTheStartCaught)
{
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    const uint64_t frame = 1001;
    // Two reads since the boundary: the one that caught it and the start's read of the frame.
    EXPECT_EQ(DarwinClock::hostNow(), frameStart(frame) + 2000);
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

// The first completion only logs; the second builds the first output block, zeroing its data
// area, from the input block it completed, and queues the ninth input request.
TEST_F(KextManualStreamTests, TheSecondCompletionBuildsTheFirstOutput)
{
    for (size_t index = 0; index < kRequestBlockCount; ++index) {
        auto& written = const_cast<USBRequestBlock&>(block(fOutput, index));
        std::memset(written.fBuffer, 0xAA, kRequestDataSizeBytes);
    }
    ASSERT_EQ(startAudio(80, 88), kIOReturnSuccess);
    const FirstRequests first = firstRequests();
    completeInput(0);
    EXPECT_TRUE(logged("skipping first in request 00000000\n"));
    EXPECT_EQ(stamped(fOutput), 0u);
    EXPECT_EQ(stamped(fInput), 8u);

    completeInput(1);
    const BlockHeader in = header(fInput, 1);
    const BlockHeader out = header(fOutput, 0);
    // Six frames of 80 bytes in each microframe at 48 kHz, as 88-byte frames out.
    EXPECT_EQ(in.fStartByteCount, 0u);
    EXPECT_EQ(in.fEndByteCount, 160u * 6 * 80);
    EXPECT_EQ(out.fStartByteCount, 0u);
    EXPECT_EQ(out.fEndByteCount, 160u * 6 * 88);
    EXPECT_EQ(out.fHostTime, frameStart(first.outFrame));
    EXPECT_EQ(header(fInput, 0).fEndByteCount, 0u);
    EXPECT_EQ(header(fInput, 8).fHostTime, frameStart(first.inFrame + 160));
    EXPECT_EQ(stamped(fOutput), 1u);
    const uint8_t* data = block(fOutput, 0).fBuffer;
    EXPECT_TRUE(std::all_of(data, data + kRequestDataSizeBytes, [](uint8_t byte) { return byte == 0; }));
    EXPECT_EQ(block(fOutput, 1).fBuffer[0], 0xAA);
}

// Thirty completions later both rings have gone round: each block's byte counts start where the
// block before ended, its host time is 20 frames after that block's, and chase record 1 and
// fMicroframe stay zero.
TEST_F(KextManualStreamTests, ByteCountsRunOnAcrossTheRingsWrap)
{
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    completeInput(30);
    EXPECT_EQ(ReadBlockHeader(block(fOutput, 9)).fHostTime, frameStart(firstRequests().outFrame + 29 * 20));
    const std::vector<BlockHeader> out = counted(fOutput);
    const std::vector<BlockHeader> in = counted(fInput);
    EXPECT_EQ(out.size(), kRequestBlockCount);
    // Seven input requests are in flight, their counts not written yet.
    EXPECT_EQ(in.size(), kRequestBlockCount - 7);
    for (const std::vector<BlockHeader>* ring : {&out, &in}) {
        for (size_t index = 1; index < ring->size(); ++index) {
            EXPECT_EQ((*ring)[index].fStartByteCount, (*ring)[index - 1].fEndByteCount) << index;
            EXPECT_EQ((*ring)[index].fHostTime - (*ring)[index - 1].fHostTime, 20 * kFrame) << index;
        }
    }
    const ChaseRecord zero{};
    for (IOMemoryDescriptor* ring : {fInput, fOutput}) {
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            EXPECT_EQ(block(ring, index).fMicroframe, 0u);
            EXPECT_EQ(std::memcmp(&block(ring, index).fChase[1], &zero, sizeof(zero)), 0);
        }
    }
}

struct StatusCase
{
    const char* name;
    IOReturn status;
    bool logged;
    bool processed;
};

void PrintTo(const StatusCase& c, std::ostream* out)
{
    *out << c.name;
}

class KextManualInputStatusTests : public KextManualStreamTests,
                                   public testing::WithParamInterface<StatusCase>
{};

INSTANTIATE_TEST_SUITE_P(Statuses, KextManualInputStatusTests,
                         testing::Values(StatusCase{"Success", kIOReturnSuccess, false, true},
                                         StatusCase{"Underrun", IOReturn(0xE00002E7), false, true},
                                         StatusCase{"NotResponding", IOReturn(0xE00002ED), true, true},
                                         StatusCase{"UsbE000400E", IOReturn(0xE000400E), true, true},
                                         StatusCase{"DeviceError", IOReturn(0xE00002E9), true, false},
                                         StatusCase{"Aborted", IOReturn(0xE00002EB), false, false}),
                         [](const testing::TestParamInfo<StatusCase>& info) {
                             return std::string(info.param.name);
                         });

// The fourth input completion comes with a status. Processed, it builds its output at once; not
// processed, it builds nothing and the next good completion builds both outputs and queues two
// input requests. Either way the byte counts run on.
TEST_P(KextManualInputStatusTests, ACompletionNotProcessedIsPickedUpByTheNext)
{
    const StatusCase& c = GetParam();
    SimUSB::Fault fault;
    fault.kind = SimUSB::Fault::Kind::RequestStatus;
    fault.trigger = SimUSB::Fault::Trigger::Transfers;
    fault.first = 3;
    fault.count = 1;
    fault.status = uint32_t(c.status);
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, fault);
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    completeInput(2);
    EXPECT_EQ(stamped(fOutput), 2u);
    EXPECT_EQ(stamped(fInput), 10u);
    completeInput(3);
    EXPECT_EQ(stamped(fOutput), c.processed ? 3u : 2u);
    EXPECT_EQ(stamped(fInput), c.processed ? 11u : 10u);
    completeInput(4);
    EXPECT_EQ(stamped(fOutput), 4u);
    EXPECT_EQ(stamped(fInput), 12u);
    SimUSB::Bus::shared().clearFaults(kPort);

    char line[64];
    std::snprintf(line, sizeof(line), "USB IN ERR %08x\n", unsigned(c.status));
    EXPECT_EQ(logged(line), c.logged);
    const std::vector<BlockHeader> out = counted(fOutput);
    ASSERT_EQ(out.size(), 4u);
    for (size_t index = 1; index < out.size(); ++index) {
        EXPECT_EQ(out[index].fStartByteCount, out[index - 1].fEndByteCount) << index;
        EXPECT_EQ(out[index].fHostTime - out[index - 1].fHostTime, 20 * kFrame) << index;
    }
}

// A stop aborts the stream; the next start begins again at block 0 with counts from 0, and its
// snapshot loop takes snapshots again.
TEST_F(KextManualStreamTests, AStartAfterAStopBeginsAgain)
{
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    completeInput(5);
    stopAudio();
    const std::vector<std::string> lines = logLines();
    const auto enter = std::find(lines.begin(), lines.end(), "->USBIsocIOStream::Abort\n");
    const auto gate = std::find(enter, lines.end(), "->GOT BUS WORK LOOP\n");
    const auto leave = std::find(gate, lines.end(), "<-USBIsocIOStream::Abort\n");
    EXPECT_NE(leave, lines.end());

    fBusClock->clock().advance(5ms);
    IOWorkLoop* loop = fControl->getWorkLoop();
    loop->closeGate();
    ASSERT_EQ(fProvider->StartAudioDMA(2, 1, 80, 1, 1, 88), kIOReturnSuccess);
    fStarted = true;
    const FirstRequests first = firstRequests();
    for (size_t index = 0; index < kRequestBlockCount; ++index) {
        EXPECT_EQ(header(fInput, index).fHostTime, index < 8 ? frameStart(first.inFrame + 20 * index) : 0)
            << index;
        EXPECT_EQ(header(fOutput, index).fHostTime, 0u) << index;
    }
    loop->openGate();
    const size_t readsBefore = fBusClock->loopReads();
    completeInput(2);
    EXPECT_GT(fBusClock->loopReads(), readsBefore);
    EXPECT_EQ(header(fOutput, 0).fStartByteCount, 0u);
    EXPECT_EQ(header(fOutput, 0).fHostTime, frameStart(first.outFrame));
    EXPECT_EQ(header(fOutput, 1).fStartByteCount, header(fOutput, 0).fEndByteCount);
    EXPECT_EQ(header(fOutput, 1).fHostTime, frameStart(first.outFrame + 20));
}

// The work loop is served so late that the bus has passed the frames of every input request in
// flight. The first request queued again goes to the first frame a start would take, and the
// stream goes on from there: each output still plays 300 frames after the input it mirrors.
TEST_F(KextManualStreamTests, InputRequestsTheBusHasPassedAreQueuedAhead)
{
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    const FirstRequests first = firstRequests();
    completeInput(2);
    SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord,
                                      {SimUSB::Fault::Kind::Hold, SimUSB::Fault::Trigger::FromNow});
    // Requests 3 to 9 are in flight; the last of them ends at frame first + 200.
    const uint64_t resumed = first.inFrame + 300;
    fBusClock->clock().advanceTo(frameStart(resumed));
    // Cleared, the bus completes the seven at once, and the work loop queues seven requests again
    // while the clock stands still.
    SimUSB::Bus::shared().clearFaults(kPort);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return header(fInput, 16).fHostTime != 0; }));
    char line[96];
    std::snprintf(line, sizeof(line), "input request 10 late for frame %llu, queued at %llu\n",
                  first.inFrame + 200, static_cast<unsigned long long>(resumed + 20));
    EXPECT_TRUE(logged(line));
    for (size_t index = 10; index <= 16; ++index) {
        EXPECT_EQ(header(fInput, index).fHostTime, frameStart(resumed + 20 * (index - 9))) << index;
    }

    // Requests 10 and 11 complete and build their outputs, 300 frames after their inputs.
    fBusClock->clock().advanceTo(frameStart(resumed + 60) + SimUSB::Bus::kServiceDelay + kFrame);
    EXPECT_EQ(header(fOutput, 9).fHostTime, frameStart(resumed + 20 + 300));
    EXPECT_EQ(header(fOutput, 10).fHostTime, frameStart(resumed + 40 + 300));
    EXPECT_GT(header(fInput, 10).fEndByteCount, header(fInput, 10).fStartByteCount);
    EXPECT_EQ(header(fOutput, 10).fStartByteCount, header(fOutput, 9).fEndByteCount);
}

struct FoldCase
{
    const char* name;
    // The snapshot the loop catches after the first output request: frames after the start's and
    // the time after that frame's start.
    uint64_t frames;
    uint64_t late;
    // The second output request's predicted time: frames after the start's snapshot it is predicted
    // from, that snapshot's time after the frame's start, and the period.
    uint64_t currentFrames;
    uint64_t currentLate;
    uint64_t period;
};

void PrintTo(const FoldCase& c, std::ostream* out)
{
    *out << c.name;
}

class KextManualSnapshotFoldTests : public KextManualStreamTests, public testing::WithParamInterface<FoldCase>
{};

INSTANTIATE_TEST_SUITE_P(Snapshots, KextManualSnapshotFoldTests,
                         testing::Values(FoldCase{"ANewFrameMovesThePeriod", 10, 5'000, 10, 5'000, 1'000'125},
                                         FoldCase{"TheSameFrameAgainIsNotQueued", 0, 5'000, 0, 0, 1'000'000}),
                         [](const testing::TestParamInfo<FoldCase>& info) {
                             return std::string(info.param.name);
                         });

// The snapshot the loop takes after the first output request is folded in by the second: a sample
// of 1,000,500 units a frame moves the period, the mean of four, from 1,000,000 to 1,000,125, and
// the frame already known is not queued.
TEST_P(KextManualSnapshotFoldTests, TheSecondOutputRequestFoldsInTheLoopsSnapshot)
{
    const FoldCase& c = GetParam();
    ASSERT_EQ(startAudio(), kIOReturnSuccess);
    const FirstRequests first = firstRequests();
    const uint64_t frame = first.inFrame - 20;
    const uint64_t caught = frame + c.frames;
    SimUSB::Bus::shared().frameClock().setScript(
        {{caught - 1, frameStart(caught) + c.late - 100}, {caught, frameStart(caught) + c.late}});
    completeInput(2);
    EXPECT_EQ(header(fOutput, 0).fHostTime, frameStart(first.outFrame));
    const uint64_t current = frame + c.currentFrames;
    EXPECT_EQ(header(fOutput, 1).fHostTime,
              (first.outFrame + 20 - current) * c.period + frameStart(current) + c.currentLate);
}

} // namespace
} // namespace KextTesting
