#pragma once

// The whole chain for the end-to-end benchmarks: the plug-in loaded by the host as the audio server
// loads it, a simulated interface on the bus with its driver, streaming on the real clock. While it
// streams, floor threads run beside it at the chain's pace, each doing only a memcpy of the bytes
// its stage moves; every thread's CPU time is read from the system's per-thread accounting.

#include <DemoOptions.h>

#include <IORunner.h>

#include <KorvanInterface/Identity.h>

#include <cstdint>
#include <string>
#include <vector>

namespace E2EBench {

struct ChainCase
{
    std::string name;
    KorvanInterface::Model model;
    uint32_t rate;
    uint32_t bufferFrames;
    Demo::DriverChoice driver;
    int32_t driftPpm = 0;
    int32_t busDeviationPpm = 0;
    uint64_t readJitterNs = 0;
};

// CPU seconds of the chain's threads over the measured stretch, by the layer that started them. The
// layers do not name their threads, so they are told apart by when they appeared: the bus's with
// the bus, the plug-in's with its loading, the host's IO thread by running the IO callback, the
// driver's snapshot thread by reading the bus's frame counter (the driver extension) or as the work
// loop the kernel extension makes for its stream, and the rest of what appeared with the device (the
// driver's queues and the plug-in's per-device threads) together.
struct ChainSeconds
{
    double hostIO = 0;
    double plugIn = 0;
    double deviceThreads = 0;
    double snapshot = 0;
    double busAndDevice = 0;
    double other = 0;
};

// The floor threads' CPU seconds over the same stretch.
struct FloorSeconds
{
    double io = 0;
    double driver = 0;
    double snapshot = 0;
};

// An output block as the driver wrote it: its first sample, the sample after its last, and the host
// time the driver gave its first microframe.
struct OutputBlock
{
    double start;
    double end;
    uint64_t hostTime;
};

struct ChainRun
{
    bool streamed = false;
    std::string failure;
    double seconds = 0;
    double cycleSeconds = 0;
    uint32_t zeroTimeStampPeriod = 0;
    ChainSeconds chain;
    FloorSeconds floor;
    // Per IO cycle of the measured stretch: GetZeroTimeStamp, 'read' and 'rite' together; and the
    // floor's memcpy of the bytes such a cycle moves.
    std::vector<double> cycleNs;
    std::vector<double> copyNs;
    // Every IO cycle the host ran, with the zero timestamp it followed, and the output blocks the
    // plug-in derived those from.
    std::vector<IOCycleTiming> cycles;
    std::vector<OutputBlock> outputBlocks;
    // The true length of a device frame in host time.
    double nanosecondsPerFrame = 0;
};

// Streams `chainCase` for `seconds` after a settling second, measuring as it goes; `readOutputRing`
// maps the output ring through a test connection and records its blocks.
ChainRun RunChain(const ChainCase& chainCase, double seconds, bool readOutputRing);

// The value below which `fraction` of `values` lie.
double Percentile(std::vector<double> values, double fraction);

} // namespace E2EBench
