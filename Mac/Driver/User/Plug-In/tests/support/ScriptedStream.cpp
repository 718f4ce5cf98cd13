#include "ScriptedStream.h"

#include <mach/mach_time.h>

#include <algorithm>

using namespace KorvanDeviceIO;

namespace PlugInTesting {

namespace {

constexpr uint64_t kRequestNs = kPacketsPerBlock * ScriptedStream::kMicroframeNs;
constexpr uint64_t kMillisecondNs = 1000000;
constexpr uint64_t kLeadNs = 50 * kMillisecondNs;

} // namespace

ScriptedStream::ScriptedStream(USBRequestBlock* input, USBRequestBlock* output, const StreamFormat& format,
                               OutputCapture capture)
    : fInput(input),
      fOutput(output),
      fFormat(format),
      fCapture(std::move(capture)),
      fWriter(input, format.fInputStride, format.fInputChannels, format.fBytesPerSample, format.fHeaders, 0),
      fT0(mach_absolute_time() + kFirstFrameDelayNs)
{
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        WriteBlockHeader(fInput[block], {});
        WriteBlockHeader(fOutput[block], {});
    }
    for (uint64_t request = 0; request < kRequestsInFlight; ++request) {
        Submit(request);
    }
    fThread = std::thread([this] { Run(); });
}

ScriptedStream::~ScriptedStream()
{
    fStop = true;
    fThread.join();
}

uint32_t ScriptedStream::FramesOf(uint64_t microframe) const
{
    if (fFormat.fRate == 44100) {
        return microframe % 2 == 0 ? 5 : 6;
    }
    return fFormat.fRate / 8000;
}

void ScriptedStream::Run()
{
    uint64_t next = 0;
    while (!fStop) {
        const uint64_t now = mach_absolute_time();
        if (now >= fT0) {
            // Packets go out a few milliseconds ahead of their time, eight each millisecond: the
            // audio server reads input up to its safety offset (16 frames) before now, and this
            // thread may wake late.
            const uint64_t due = (now - fT0 + kLeadNs) / kMicroframeNs;
            for (; next < due && !fStop; ++next) {
                WriteMicroframe(next);
            }
        }
        mach_wait_until(std::max(now, fT0) + kMillisecondNs);
    }
}

void ScriptedStream::WriteMicroframe(uint64_t microframe)
{
    const uint64_t request = microframe / kPacketsPerBlock;
    if (microframe % kPacketsPerBlock == 0) {
        fRequestStartBytes = fInputBytes;
        fRequestOutputBytes = 0;
        // As the driver extension does before rewriting a block: the plug-in's progress there.
        ReadChasePosition(fInput[request % kRequestBlockCount].fChase[std::size_t(Driver::CoreAudio)]);
    }
    const uint32_t frames = FramesOf(microframe);
    fWriter.Write(frames);
    fInputBytes += uint64_t(frames) * fFormat.fInputChannels * fFormat.fBytesPerSample;
    fRequestOutputBytes += uint64_t(frames) * fFormat.fOutputBytesPerFrame;
    if (microframe % kPacketsPerBlock == kPacketsPerBlock - 1) {
        Complete(request);
        Submit(request + kRequestsInFlight);
    }
}

void ScriptedStream::Submit(uint64_t request)
{
    WriteBlockHeader(fInput[request % kRequestBlockCount], {fT0 + request * kRequestNs, 0, 0, 0});
}

void ScriptedStream::Complete(uint64_t request)
{
    USBRequestBlock& input = fInput[request % kRequestBlockCount];
    WriteBlockHeader(input, {fT0 + request * kRequestNs, 0, fRequestStartBytes, fInputBytes});
    if (request == 0) {
        return;
    }
    const uint64_t outputRequest = request - 1;
    USBRequestBlock& block = fOutput[outputRequest % kRequestBlockCount];
    if (fFormat.fCaptureOutput && outputRequest >= kRequestBlockCount) {
        const BlockHeader previous = ReadBlockHeader(block);
        fCapture(block.fBuffer, std::size_t(previous.fEndByteCount - previous.fStartByteCount));
    }
    const uint64_t start = fOutputBytes;
    fOutputBytes += fRequestOutputBytes;
    WriteBlockHeader(block, {fT0 + kOutputDelayNs + outputRequest * kRequestNs, 0, start, fOutputBytes});
}

} // namespace PlugInTesting
