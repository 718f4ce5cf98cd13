#pragma once

// The stream a driver runs after run state 1. On the real clock a thread writes the input packets,
// eight a millisecond and 50 ms ahead; stepped, the test moves the stream on packet by
// packet on the manual clock. Either way the packets go into the input ring, and the request blocks
// of both rings are submitted and completed as the drivers do. T0, the host time of the first
// input frame, lies 20 ms after the run request; input request k uses block k mod 20 and gets host
// time T0 + 20k ms; when input request k >= 1 completes, output request k - 1 gets its byte counts
// and then, last, its host time T0 + 320 + 20(k - 1) ms. Input block 0 is written, and the
// drivers' chase skips it. Before an output block is used again, what the plug-in wrote there may
// be captured.

#include "KorvanRequestRing.h"
#include "ScriptedInput.h"

#include <DarwinTesting/ManualClock.h>

#include <atomic>
#include <condition_variable>
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
    // This list and the next are in ascending order.
    std::vector<uint64_t> fLostMicroframes;
    // Microframes whose header carries a running total that jumps by fCounterJump, once.
    std::vector<uint64_t> fCorruptedMicroframes;
    uint32_t fCounterJump = 1000;
    // Output block 0 gets its byte counts but never a host time.
    bool fOutputBlock0Untimed = false;
    // On the real clock: once, a second into the stream, the writing thread sleeps this long, as
    // a thread on a loaded machine may; its packets fall behind their time meanwhile.
    uint64_t fWriterPauseNs = 0;
    // Stepped: no thread; Advance() writes the packets and moves this clock to each one's end.
    DarwinTesting::ManualClock* fSteppedClock = nullptr;
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

    // Sample frames of microframe u, the rate spread evenly over the microframes as a device sends
    // it: 6 at 48 kHz; 5 or 6 at 44.1 kHz, 441 in every 80.
    uint32_t FramesOf(uint64_t microframe) const;
    // Stepped: the next `packets` microframes, the clock put at the end of each before its packet.
    void Advance(uint64_t packets);
    // Stepped: on to the end of the input request being written.
    void CompleteRequest();
    // On the real clock: returns once every packet due by `hostTime` has been written, as a
    // controller has delivered them by then, however late this stream's thread runs on a loaded
    // machine; or once the run is over. Stepped, it returns at once.
    void WaitForPacketsDue(uint64_t hostTime);
    // The client's output is written up to `hostTime`. From the first call on, before the real-clock
    // stream captures an output block it waits until the client's output reaches the time the
    // capture is scheduled for, as a client on time has it: a client thread that wakes late on a
    // loaded machine is not taken for output missing from the block.
    void OutputWrittenThrough(uint64_t hostTime);
    // From now on nothing is written: no packet, no block header. The clock still moves.
    void StopWriting() { fStopWriting = true; }
    // The run is over: nothing more is written.
    void End();
    uint64_t FirstFrameHostTime() const { return fT0; }
    ChaseContract Contract() const;
    static constexpr uint64_t kFirstMicroframe = 8 * 1000;

private:
    void Run();
    // The microframes written so far, for those waiting on them.
    void Publish(uint64_t written);
    // Publishes the packets written so far, then waits for the client's output up to `hostTime`
    // (see OutputWrittenThrough).
    void WaitForOutput(uint64_t written, uint64_t hostTime);
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
    uint64_t fNextMicroframe = 0;
    std::atomic<bool> fStop{false};
    std::atomic<bool> fStopWriting{false};
    std::mutex fWrittenMutex;
    std::condition_variable fWrittenChanged;
    uint64_t fWritten = 0;
    bool fOutputFollowed = false;
    uint64_t fOutputThrough = 0;
    mutable std::mutex fContractMutex;
    ChaseContract fContract;
    // The record 1 of each block as the driver extension last wrote it.
    std::vector<std::vector<uint8_t>> fRecords;
    std::thread fThread;
};

} // namespace PlugInTesting
