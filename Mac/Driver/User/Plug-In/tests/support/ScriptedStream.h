#pragma once

// The stream a driver runs after run state 1, on the real clock: a thread writes the input packets,
// eight a millisecond and a few milliseconds ahead, into the input ring and submits and completes the request
// blocks of both rings as the drivers do. T0, the host time of the first input frame, lies 20 ms
// after the run request; input request k uses block k mod 20 and gets host time T0 + 20k ms; when
// input request k >= 1 completes, output request k - 1 gets its byte counts and then, last, its
// host time T0 + 320 + 20(k - 1) ms. Input block 0 is written, and the drivers' chase skips it.
// Before an output block is used again, what the plug-in wrote there may be captured.

#include "KorvanRequestRing.h"
#include "ScriptedInput.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace PlugInTesting {

struct StreamFormat
{
    uint32_t fInputStride = 0; // the input max packet size
    uint32_t fInputChannels = 0;
    uint32_t fOutputBytesPerFrame = 0;
    uint32_t fBytesPerSample = 4;
    uint32_t fRate = 48000;
    bool fHeaders = false;
    // Keep what the plug-in wrote into each output block before the block is used again.
    bool fCaptureOutput = false;
    // As the driver extension streams: fMicroframe written, and its own chase record (record 1)
    // of each completed input block filled, after reading the plug-in's record 0.
    bool fDriverExtension = false;
    // The device's frame count at the first packet: near 2^32 it wraps in the headers.
    uint64_t fFirstFrame = 0;
    // Microframes whose packets never arrive: nothing is written, the device's count goes on.
    std::vector<uint64_t> fLostMicroframes;
};

// What the driver extension found of the plug-in's side of the input ring.
struct ChaseContract
{
    // Blocks whose record 1 the driver extension filled, and found as it left it the next time.
    uint64_t fBlocksChecked = 0;
    // Record 1 changed by someone else.
    uint64_t fForeignWrites = 0;
    // A packet the plug-in published as chased whose length was not in record 0.
    uint64_t fMissingLengths = 0;
};

// Receives the bytes of each output request the plug-in wrote, in order.
using OutputCapture = std::function<void(const uint8_t* bytes, std::size_t size)>;

class ScriptedStream
{
public:
    static constexpr uint64_t kMicroframeNs = 125000;
    static constexpr uint64_t kFirstFrameDelayNs = 20000000;
    static constexpr uint64_t kOutputDelayNs = 320000000;
    static constexpr uint64_t kRequestsInFlight = 4;

    ScriptedStream(KorvanDeviceIO::USBRequestBlock* input, KorvanDeviceIO::USBRequestBlock* output,
                   const StreamFormat& format, OutputCapture capture);
    // Stops the thread.
    ~ScriptedStream();
    ScriptedStream(const ScriptedStream&) = delete;
    ScriptedStream& operator=(const ScriptedStream&) = delete;

    // Sample frames of microframe u: 6 at 48 kHz, 5 and 6 in turn at 44.1 kHz.
    uint32_t FramesOf(uint64_t microframe) const;
    uint64_t FirstFrameHostTime() const { return fT0; }
    ChaseContract Contract() const;
    static constexpr uint64_t kFirstMicroframe = 8 * 1000;

private:
    void Run();
    void WriteMicroframe(uint64_t microframe);
    void Submit(uint64_t request);
    void Complete(uint64_t request);
    // The driver extension's chase of a completed block (record 1), and its reading of record 0.
    void ChaseAsDriverExtension(uint64_t request);

    KorvanDeviceIO::USBRequestBlock* fInput;
    KorvanDeviceIO::USBRequestBlock* fOutput;
    StreamFormat fFormat;
    OutputCapture fCapture;
    DeviceTesting::ScriptedInput fWriter;
    uint64_t fT0;
    uint64_t fInputBytes = 0;
    uint64_t fOutputBytes = 0;
    uint64_t fRequestStartBytes = 0;
    uint64_t fRequestOutputBytes = 0;
    std::atomic<bool> fStop{false};
    mutable std::mutex fContractMutex;
    ChaseContract fContract;
    // The record 1 of each block as the driver extension last wrote it.
    std::vector<std::vector<uint8_t>> fRecords;
    std::thread fThread;
};

} // namespace PlugInTesting
