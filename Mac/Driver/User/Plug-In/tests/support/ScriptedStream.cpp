#include "ScriptedStream.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <cstring>
#include <utility>

using namespace KorvanDeviceIO;

namespace PlugInTesting {

namespace {

constexpr uint64_t kRequestNs = kPacketsPerBlock * ScriptedStream::kMicroframeNs;
constexpr uint64_t kMillisecondNs = 1000000;
constexpr uint64_t kLeadNs = 50 * kMillisecondNs;
constexpr uint64_t kPauseMicroframe = 8000;

} // namespace

ScriptedStream::ScriptedStream(USBRequestBlock* input, USBRequestBlock* output, const StreamFormat& format,
                               OutputCapture capture)
    : fInput(input), fOutput(output), fFormat(format), fCapture(std::move(capture)),
      fWriter(input, format.fInputStride, format.fInputChannels, format.fBytesPerSample, format.fHeaders, 0,
              format.fFirstFrame),
      fT0(mach_absolute_time() + kFirstFrameDelayNs)
{
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        WriteBlockHeader(fInput[block], {});
        WriteBlockHeader(fOutput[block], {});
    }
    for (uint64_t request = 0; request < kRequestsInFlight; ++request) {
        Submit(request);
    }
    if (fFormat.fSteppedClock == nullptr) {
        fThread = std::thread([this] { Run(); });
    }
}

ScriptedStream::~ScriptedStream()
{
    End();
    if (fThread.joinable()) {
        fThread.join();
    }
}

uint32_t ScriptedStream::FramesOf(uint64_t microframe) const
{
    return uint32_t((microframe + 1) * fFormat.fRate / 8000 - microframe * fFormat.fRate / 8000);
}

void ScriptedStream::Advance(uint64_t packets)
{
    for (uint64_t packet = 0; packet < packets; ++packet, ++fNextMicroframe) {
        const uint64_t end = fT0 + (fNextMicroframe + 1) * kMicroframeNs;
        if (end > mach_absolute_time()) {
            fFormat.fSteppedClock->advanceTo(end);
        }
        // What the clock woke may have ended the run.
        if (fStop) {
            return;
        }
        WriteMicroframe(fNextMicroframe);
    }
}

void ScriptedStream::CompleteRequest()
{
    Advance(kPacketsPerBlock - fNextMicroframe % kPacketsPerBlock);
}

void ScriptedStream::End()
{
    {
        std::lock_guard<std::mutex> lock(fWrittenMutex);
        fStop = true;
    }
    fWrittenChanged.notify_all();
}

void ScriptedStream::Publish(uint64_t written)
{
    {
        std::lock_guard<std::mutex> lock(fWrittenMutex);
        fWritten = written;
    }
    fWrittenChanged.notify_all();
}

void ScriptedStream::WaitForPacketsDue(uint64_t hostTime)
{
    if (fFormat.fSteppedClock != nullptr || hostTime < fT0) {
        return;
    }
    const uint64_t due = (hostTime - fT0) / kMicroframeNs;
    std::unique_lock<std::mutex> lock(fWrittenMutex);
    fWrittenChanged.wait(lock, [&] { return fStop || fWritten >= due; });
}

void ScriptedStream::OutputWrittenThrough(uint64_t hostTime)
{
    {
        std::lock_guard<std::mutex> lock(fWrittenMutex);
        fOutputFollowed = true;
        fOutputThrough = std::max(fOutputThrough, hostTime);
    }
    fWrittenChanged.notify_all();
}

void ScriptedStream::WaitForOutput(uint64_t written, uint64_t hostTime)
{
    Publish(written);
    std::unique_lock<std::mutex> lock(fWrittenMutex);
    fWrittenChanged.wait(lock, [&] { return fStop || !fOutputFollowed || fOutputThrough >= hostTime; });
}

void ScriptedStream::Run()
{
    while (!fStop) {
        const uint64_t now = mach_absolute_time();
        if (now >= fT0) {
            // Packets go out a few milliseconds ahead of their time, eight each millisecond: the
            // audio server reads input up to its safety offset (16 frames) before now, and this
            // thread may wake late.
            const uint64_t due = (now - fT0 + kLeadNs) / kMicroframeNs;
            for (; fNextMicroframe < due && !fStop; ++fNextMicroframe) {
                WriteMicroframe(fNextMicroframe);
            }
            Publish(fNextMicroframe);
        }
        const bool pause = fFormat.fWriterPauseNs != 0 && fNextMicroframe >= kPauseMicroframe;
        mach_wait_until(std::max(now, fT0) +
                        (pause ? std::exchange(fFormat.fWriterPauseNs, 0) : kMillisecondNs));
    }
}

void ScriptedStream::WriteMicroframe(uint64_t microframe)
{
    if (fStopWriting) {
        return;
    }
    const uint64_t request = microframe / kPacketsPerBlock;
    if (microframe % kPacketsPerBlock == 0) {
        fRequestStartBytes = fInputBytes;
        fRequestOutputBytes = 0;
        // As the driver extension does before rewriting a block: the plug-in's progress there.
        ReadChasePosition(fInput[request % kRequestBlockCount].fChase[std::size_t(Driver::CoreAudio)]);
    }
    const uint32_t frames = FramesOf(microframe);
    const auto listed = [microframe](const std::vector<uint64_t>& microframes) {
        return std::binary_search(microframes.begin(), microframes.end(), microframe);
    };
    if (listed(fFormat.fLostMicroframes)) {
        fWriter.Lose(1, frames);
    } else {
        fWriter.Write(frames, listed(fFormat.fCorruptedMicroframes) ? fFormat.fCounterJump : 0);
    }
    fInputBytes += uint64_t(frames) * fFormat.fInputChannels * fFormat.fBytesPerSample;
    fRequestOutputBytes += uint64_t(frames) * fFormat.fOutputBytesPerFrame;
    if (microframe % kPacketsPerBlock == kPacketsPerBlock - 1) {
        Complete(request);
        Submit(request + kRequestsInFlight);
    }
}

void ScriptedStream::Submit(uint64_t request)
{
    const uint64_t microframe = fFormat.fDriverExtension ? kFirstMicroframe + request * kPacketsPerBlock : 0;
    WriteBlockHeader(fInput[request % kRequestBlockCount], {fT0 + request * kRequestNs, microframe, 0, 0});
}

ChaseContract ScriptedStream::Contract() const
{
    std::lock_guard<std::mutex> lock(fContractMutex);
    return fContract;
}

void ScriptedStream::ChaseAsDriverExtension(uint64_t request)
{
    USBRequestBlock& block = fInput[request % kRequestBlockCount];
    ChaseRecord& own = block.fChase[std::size_t(Driver::Dext)];
    const ChaseRecord& plugIn = block.fChase[std::size_t(Driver::CoreAudio)];
    const std::size_t index = request % kRequestBlockCount;
    std::lock_guard<std::mutex> lock(fContractMutex);
    if (fRecords.size() < kRequestBlockCount) {
        fRecords.resize(kRequestBlockCount);
    }
    std::vector<uint8_t>& mine = fRecords[index];
    if (!mine.empty()) {
        ++fContract.fBlocksChecked;
        fContract.fForeignWrites += std::memcmp(mine.data(), &own, sizeof(own)) != 0 ? 1 : 0;
    }
    // The plug-in's progress in this block: every packet it published as chased has its length.
    const ChasePosition position = ReadChasePosition(plugIn);
    const uint64_t first = kFirstMicroframe + request * kPacketsPerBlock;
    if (position.fMicroframe >= first && position.fMicroframe < first + kPacketsPerBlock &&
        fFormat.fHeaders) {
        for (uint64_t packet = 0; packet <= position.fMicroframe - first; ++packet) {
            fContract.fMissingLengths += LoadPacketLength(plugIn, packet) == 0 ? 1 : 0;
        }
    }
    // Its own record: the headers and lengths of every packet, and its published pair.
    USBRequestIter it{fInput, &block, 0, fFormat.fInputStride};
    for (std::size_t packet = 0; packet < kPacketsPerBlock; ++packet, it = it.next()) {
        own.fPacketHeaders[packet] = ReadPacketHeader(it.packet());
        StorePacketLength(it, Driver::Dext,
                          uint32_t(own.fPacketHeaders[packet].numSampleFramesThisPacket) *
                                  fFormat.fInputChannels * fFormat.fBytesPerSample +
                              kIsocPacketHeaderBytes);
    }
    PublishChase({fInput, &block, kPacketsPerBlock - 1, fFormat.fInputStride}, Driver::Dext);
    mine.assign(reinterpret_cast<const uint8_t*>(&own), reinterpret_cast<const uint8_t*>(&own) + sizeof(own));
}

void ScriptedStream::Complete(uint64_t request)
{
    USBRequestBlock& input = fInput[request % kRequestBlockCount];
    const uint64_t microframe = fFormat.fDriverExtension ? kFirstMicroframe + request * kPacketsPerBlock : 0;
    WriteBlockHeader(input, {fT0 + request * kRequestNs, microframe, fRequestStartBytes, fInputBytes});
    if (fFormat.fDriverExtension) {
        ChaseAsDriverExtension(request);
    }
    if (request == 0) {
        return;
    }
    const uint64_t outputRequest = request - 1;
    USBRequestBlock& block = fOutput[outputRequest % kRequestBlockCount];
    if (fFormat.fCaptureOutput && outputRequest >= kRequestBlockCount) {
        if (fFormat.fSteppedClock == nullptr) {
            WaitForOutput((request + 1) * kPacketsPerBlock, fT0 + (request + 1) * kRequestNs - kLeadNs);
        }
        const BlockHeader previous = ReadBlockHeader(block);
        fCapture(block.fBuffer, std::size_t(previous.fEndByteCount - previous.fStartByteCount));
    }
    const uint64_t start = fOutputBytes;
    fOutputBytes += fRequestOutputBytes;
    const bool untimed = outputRequest % kRequestBlockCount == 0 && fFormat.fOutputBlock0Untimed;
    WriteBlockHeader(
        block, {untimed ? 0 : fT0 + kOutputDelayNs + outputRequest * kRequestNs, 0, start, fOutputBytes});
}

} // namespace PlugInTesting
