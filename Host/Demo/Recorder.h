#pragma once

// The application side of the host's IO cycles. On the IO thread it writes the played signal into
// the output buffer and hands the input buffer and the cycle's timing over through preallocated
// rings: no allocation, lock or I/O there. A worker thread drains the rings into the loopback and
// timing checks, the WAV file and the stretch of channel 0 the plot shows.

#include "LoopbackCheck.h"
#include "SpscRing.h"
#include "TimingCheck.h"
#include "WavWriter.h"

#include <AudioServerHost.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Demo {

class Recorder
{
public:
    // Room for the widest stream and largest buffer a run can have.
    Recorder(uint32_t maxChannels, uint32_t maxBufferFrames, uint32_t rate);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Before each StartIO: the layout of the audio that follows.
    // Waits until the worker has taken everything before it. Where the input sample time goes back
    // within a run (the device's audio started again, after a wake), a segment starts by itself.
    void startSegment(const InputLayout& layout);
    // Records into `path` from now on.
    bool openWav(const std::string& path, uint32_t rate, uint32_t channels);

    IOCallback callback();
    IOCycleObserver observer();

    // Waits until the worker has taken everything handed over so far, then returns the checks.
    void drain();
    LoopbackResult loopback();
    TimingResult timing(double nanosecondsPerFrame, const std::vector<ShortOutput>& shortOutputs = {});
    std::vector<CyclePoint> cycles();
    std::optional<double> sampleTimeAt(uint64_t hostTime);
    // Cycles whose input or timing found the ring full (the worker fell behind).
    uint64_t overruns() const { return fOverruns.load(); }

    // Channel 0 as recorded, with the input sample time of its first frame, for the plot.
    struct Trace
    {
        int64_t start = 0;
        std::vector<float> samples;
    };
    Trace sineTrace();

private:
    struct CycleSlot
    {
        // The input sample time went back: the device's audio started again, and so does a segment.
        bool restart;
        UInt64 counter;
        int64_t inputTime;
        uint32_t frames;
        uint32_t channels;
        std::vector<float> samples;
    };

    // A cycle's timing with the output it wrote.
    struct TimingSlot
    {
        IOCycleTiming timing;
        int64_t outputTime;
        uint32_t frames;
    };

    void onCycle(const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                 std::vector<IOBuffer>& outputs);
    void onTiming(const IOCycleTiming& timing);
    void work();
    bool takeOne();

    uint32_t fMaxSamples;
    std::atomic<uint32_t> fRate;
    SpscRing<CycleSlot> fCycles;
    SpscRing<TimingSlot> fTimings;
    // The output of the cycle running on the IO thread, for its timing.
    int64_t fCycleOutputTime = 0;
    uint32_t fCycleFrames = 0;
    std::atomic<uint64_t> fOverruns{0};
    std::atomic<uint64_t> fHandedOver{0};
    // The input sample time of the last cycle handed over (IO thread).
    std::atomic<int64_t> fLastInputTime{INT64_MIN};

    std::mutex fMutex;
    std::condition_variable fProgress;
    uint64_t fTaken = 0;
    bool fStopping = false;
    std::unique_ptr<LoopbackCheck> fLoopback;
    InputLayout fLayout;
    TimingCheck fTiming;
    std::unique_ptr<WavWriter> fWav;
    Trace fTrace;
    std::thread fWorker;
};

} // namespace Demo
