#include "IORunner.h"

#include <Darwin/Clock.h>
#include <Darwin/RealTimeClass.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <mach/thread_policy.h>

#include <cmath>
#include <utility>

namespace {

constexpr Float64 kNanosecondsPerSecond = 1e9;

// The thread runs as the audio server's IO threads do: a time-constraint thread whose period is
// one buffer. Where the process may, it also gets the host's first-in-first-out real-time class,
// which is what keeps its wake-ups on time here. Returns whether it got that class.
bool MakeRealTime(UInt32 bufferFrames, Float64 rate)
{
    const auto period = uint32_t(bufferFrames * kNanosecondsPerSecond / rate);
    thread_time_constraint_policy_data_t policy = {period, period / 2, period, 0};
    thread_policy_set(mach_thread_self(), THREAD_TIME_CONSTRAINT_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_TIME_CONSTRAINT_POLICY_COUNT);
    return DarwinRealTime::enter(1);
}

AudioTimeStamp TimeStamp(Float64 sampleTime, UInt64 hostTime)
{
    AudioTimeStamp stamp = {};
    stamp.mSampleTime = sampleTime;
    stamp.mHostTime = hostTime;
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
    return stamp;
}

} // namespace

IORunner::IORunner(AudioServerPlugInDriverRef driver, IOConfiguration configuration, IOCallback callback,
                   IOCycleObserver observer)
    : fDriver(driver), fConfiguration(std::move(configuration)), fCallback(std::move(callback)),
      fObserver(std::move(observer))
{
    for (const IOStream& stream : fConfiguration.fStreams) {
        IOBuffer buffer = {stream.fID,
                           std::vector<UInt8>(size_t(stream.fBytesPerFrame) * fConfiguration.fBufferFrames)};
        (stream.fInput ? fInputs : fOutputs).push_back(std::move(buffer));
    }
}

IORunner::~IORunner()
{
    Stop();
}

OSStatus IORunner::Start()
{
    auto& table = **fDriver;
    const OSStatus status = table.StartIO(fDriver, fConfiguration.fDeviceID, fConfiguration.fClientID);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    fStarted = true;
    Boolean willDo = false;
    Boolean inPlace = false;
    if (table.WillDoIOOperation(fDriver, fConfiguration.fDeviceID, fConfiguration.fClientID,
                                kAudioServerPlugInIOOperationReadInput, &willDo, &inPlace) == 0) {
        fWillRead = willDo;
    }
    if (table.WillDoIOOperation(fDriver, fConfiguration.fDeviceID, fConfiguration.fClientID,
                                kAudioServerPlugInIOOperationWriteMix, &willDo, &inPlace) == 0) {
        fWillWrite = willDo;
    }
    fThread = std::thread([this] { Run(); });
    return kAudioHardwareNoError;
}

void IORunner::Stop()
{
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fStopping = true;
        fWake.notify_all();
    }
    if (fThread.joinable()) {
        fThread.join();
    }
    if (fStarted) {
        fStarted = false;
        (**fDriver).StopIO(fDriver, fConfiguration.fDeviceID, fConfiguration.fClientID);
    }
}

bool IORunner::EndedByPlugIn() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fEndedByPlugIn;
}

UInt64 IORunner::CycleCount() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fCycles;
}

bool IORunner::RanAtRealTimePriority() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fRealTimePriority;
}

void IORunner::Run()
{
    const bool realTime = MakeRealTime(fConfiguration.fBufferFrames, fConfiguration.fNominalRate);
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fRealTimePriority = realTime;
    }
    if (!ReadZeroTimeStamp()) {
        return;
    }
    Float64 sampleTime = fNewest.fSampleTime;
    for (UInt64 counter = 1;; ++counter, sampleTime += fConfiguration.fBufferFrames) {
        if (!ReadZeroTimeStamp()) {
            return;
        }
        if (std::exchange(fTimeLineRestarted, false)) {
            sampleTime = fNewest.fSampleTime;
        }
        // Wait until the cycle's time, unless stopped meanwhile.
        std::unique_lock<std::mutex> lock(fMutex);
        const uint64_t deadline = HostTimeOf(sampleTime);
        while (!fStopping && !DarwinClock::waitUntil(lock, fWake, deadline, "IORunner cycle")) {
        }
        if (fStopping) {
            return;
        }
        lock.unlock();
        if (!RunCycle(counter, sampleTime, mach_absolute_time())) {
            return;
        }
        lock.lock();
        fCycles = counter;
    }
}

bool IORunner::RunCycle(UInt64 counter, Float64 sampleTime, UInt64 woke)
{
    const UInt32 frames = fConfiguration.fBufferFrames;
    AudioServerPlugInIOCycleInfo cycle = {};
    cycle.mIOCycleCounter = counter;
    cycle.mNominalIOBufferFrameSize = frames;
    const Float64 inputTime = sampleTime - fConfiguration.fInputSafetyOffset - frames;
    const Float64 outputTime = sampleTime + fConfiguration.fOutputSafetyOffset + frames;
    cycle.mInputTime = TimeStamp(inputTime, HostTimeOf(inputTime));
    cycle.mOutputTime = TimeStamp(outputTime, HostTimeOf(outputTime));
    cycle.mCurrentTime = TimeStamp(sampleTime, HostTimeOf(sampleTime));
    cycle.mMainHostTicksPerFrame = HostTicksPerFrame();
    cycle.mDeviceHostTicksPerFrame = cycle.mMainHostTicksPerFrame;
    if (fWillRead && !Operate(kAudioServerPlugInIOOperationReadInput, cycle, fInputs)) {
        return false;
    }
    if (fCallback) {
        fCallback(cycle, fInputs, fOutputs);
    }
    if (fWillWrite && !Operate(kAudioServerPlugInIOOperationWriteMix, cycle, fOutputs)) {
        return false;
    }
    if (fObserver) {
        fObserver({counter, cycle.mCurrentTime.mHostTime, woke, mach_absolute_time(),
                   cycle.mOutputTime.mHostTime, fNewest.fSampleTime, fNewest.fHostTime});
    }
    return true;
}

bool IORunner::Operate(UInt32 operation, const AudioServerPlugInIOCycleInfo& cycle,
                       std::vector<IOBuffer>& buffers)
{
    auto& table = **fDriver;
    const AudioObjectID device = fConfiguration.fDeviceID;
    const UInt32 client = fConfiguration.fClientID;
    const UInt32 frames = fConfiguration.fBufferFrames;
    if (!Check(table.BeginIOOperation(fDriver, device, client, operation, frames, &cycle))) {
        return false;
    }
    for (IOBuffer& buffer : buffers) {
        if (!Check(table.DoIOOperation(fDriver, device, buffer.fStreamID, client, operation, frames, &cycle,
                                       buffer.fBytes.data(), nullptr))) {
            return false;
        }
    }
    return Check(table.EndIOOperation(fDriver, device, client, operation, frames, &cycle));
}

bool IORunner::ReadZeroTimeStamp()
{
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    if (!Check((**fDriver).GetZeroTimeStamp(fDriver, fConfiguration.fDeviceID, fConfiguration.fClientID,
                                            &sampleTime, &hostTime, &seed))) {
        return false;
    }
    // No host time: the device has no timestamp (its audio stopped); the cycles keep the last pace.
    if (hostTime == 0) {
        return true;
    }
    if (fNewest.fHostTime != 0 && sampleTime < fNewest.fSampleTime) {
        // The device's time line started again (its audio did, after a wake): cycles follow the new one.
        fNewest = {sampleTime, hostTime};
        fHavePrevious = false;
        fTimeLineRestarted = true;
        return true;
    }
    if (hostTime != fNewest.fHostTime || sampleTime != fNewest.fSampleTime) {
        if (fNewest.fHostTime != 0) {
            fPrevious = fNewest;
            fHavePrevious = true;
        }
        fNewest = {sampleTime, hostTime};
    }
    return true;
}

Float64 IORunner::HostTicksPerFrame() const
{
    if (fHavePrevious && fNewest.fSampleTime > fPrevious.fSampleTime &&
        fNewest.fHostTime > fPrevious.fHostTime) {
        return Float64(fNewest.fHostTime - fPrevious.fHostTime) /
               (fNewest.fSampleTime - fPrevious.fSampleTime);
    }
    return kNanosecondsPerSecond / fConfiguration.fNominalRate;
}

UInt64 IORunner::HostTimeOf(Float64 sampleTime) const
{
    const Float64 offset = (sampleTime - fNewest.fSampleTime) * HostTicksPerFrame();
    const Float64 host = Float64(fNewest.fHostTime) + offset;
    return host <= 0 ? 0 : UInt64(std::llround(host));
}

bool IORunner::Check(OSStatus status)
{
    if (status == kAudioHardwareBadObjectError) {
        std::lock_guard<std::mutex> lock(fMutex);
        fEndedByPlugIn = true;
        return false;
    }
    return true;
}
