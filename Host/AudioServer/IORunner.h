#pragma once

// The IO cycles of one client of one device, on a real-time thread of their own, as the audio
// server runs them: the zero timestamp, a wait until the cycle's host time, then the read of each
// input stream, the client's callback and the write of each output stream. A '!obj' from the
// plug-in (the device is gone) ends the cycles. A cycle's host time follows the newest two zero
// timestamps (one zero-timestamp period over their host-time distance), the nominal rate before
// there are two. A zero timestamp behind the newest starts a new time line (the device's audio
// started again): the next cycle follows it from its sample time.

#include <CoreAudio/AudioServerPlugIn.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct IOStream
{
    AudioObjectID fID;
    bool fInput;
    UInt32 fBytesPerFrame;
};

// One stream's buffer of a cycle.
struct IOBuffer
{
    AudioObjectID fStreamID;
    std::vector<UInt8> fBytes;
};

// What a running client needs to know of its device.
struct IOConfiguration
{
    AudioObjectID fDeviceID;
    UInt32 fClientID;
    UInt32 fBufferFrames;
    Float64 fNominalRate;
    UInt32 fInputSafetyOffset;
    UInt32 fOutputSafetyOffset;
    std::vector<IOStream> fStreams;
};

// The client's work between reading and writing: input buffers in, output buffers to fill.
using IOCallback = std::function<void(const AudioServerPlugInIOCycleInfo& cycle,
                                      const std::vector<IOBuffer>& inputs, std::vector<IOBuffer>& outputs)>;

// How one cycle went, in host time: when it was due and woke, when its output write returned, the
// host time of its first output frame, and the zero timestamp it followed.
struct IOCycleTiming
{
    UInt64 fCounter;
    UInt64 fScheduled;
    UInt64 fWoke;
    UInt64 fWritten;
    UInt64 fOutputHostTime;
    Float64 fZeroSampleTime;
    UInt64 fZeroHostTime;

    // The output left after the device needed its first frame.
    bool Late() const { return fWritten > fOutputHostTime; }
};

// Told on the IO thread after every cycle; it must not block or allocate.
using IOCycleObserver = std::function<void(const IOCycleTiming& timing)>;

class IORunner
{
public:
    IORunner(AudioServerPlugInDriverRef driver, IOConfiguration configuration, IOCallback callback,
             IOCycleObserver observer = {});
    // Stops the cycles and the client's IO.
    ~IORunner();
    IORunner(const IORunner&) = delete;
    IORunner& operator=(const IORunner&) = delete;

    // StartIO for the client, the question which operations the plug-in does, then the cycles.
    OSStatus Start();
    // Ends the cycles (waiting for one in progress) and calls StopIO.
    void Stop();

    // The cycles ended because the plug-in answered '!obj'.
    bool EndedByPlugIn() const;
    UInt64 CycleCount() const;
    // The IO thread got the first-in-first-out real-time scheduling class (false: normal priority,
    // as for a process not allowed it).
    bool RanAtRealTimePriority() const;

private:
    struct ZeroTimeStamp
    {
        Float64 fSampleTime;
        UInt64 fHostTime;
    };

    void Run();
    bool RunCycle(UInt64 counter, Float64 sampleTime, UInt64 woke);
    bool ReadZeroTimeStamp();
    UInt64 HostTimeOf(Float64 sampleTime) const;
    Float64 HostTicksPerFrame() const;
    bool Operate(UInt32 operation, const AudioServerPlugInIOCycleInfo& cycle, std::vector<IOBuffer>& buffers);
    bool Check(OSStatus status);

    AudioServerPlugInDriverRef fDriver;
    IOConfiguration fConfiguration;
    IOCallback fCallback;
    IOCycleObserver fObserver;
    bool fWillRead = false;
    bool fWillWrite = false;
    std::vector<IOBuffer> fInputs;
    std::vector<IOBuffer> fOutputs;
    ZeroTimeStamp fNewest = {};
    ZeroTimeStamp fPrevious = {};
    bool fHavePrevious = false;
    bool fTimeLineRestarted = false;

    mutable std::mutex fMutex;
    std::condition_variable fWake;
    bool fStopping = false;
    bool fEndedByPlugIn = false;
    bool fStarted = false;
    bool fRealTimePriority = false;
    UInt64 fCycles = 0;
    std::thread fThread;
};
