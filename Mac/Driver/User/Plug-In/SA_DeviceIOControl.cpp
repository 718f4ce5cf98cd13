#include "SA_Device.h"

#include "CAException.h"
#include "Log.h"
#include "LogThread.h"
#include "SA_Host.h"
#include "USBClockControl.h"
#include "WorkLoop.h"

#include <IOKit/IOReturn.h>

#include <cstring>
#include <limits>

namespace {

// Ends a configuration change on every way out, so that an exception leaves IO enabled.
class ChangeInProgress
{
public:
    ChangeInProgress(std::atomic<bool>& flag, std::unique_ptr<IOLock::Disabler>& disabler,
                     CAMutex& changeMutex, const std::atomic<UInt32>& rate)
        : fFlag(flag), fDisabler(disabler), fChangeMutex(changeMutex), fRate(rate)
    {
        fFlag = true;
    }

    ~ChangeInProgress()
    {
        {
            CAMutex::Locker locker(fChangeMutex);
            fDisabler.reset();
        }
        TIDE_LOG(Log::Info, "END PERFORM CONFIG CHANGE %d", int(fRate.load()));
        fFlag = false;
    }

    ChangeInProgress(const ChangeInProgress&) = delete;
    ChangeInProgress& operator=(const ChangeInProgress&) = delete;

private:
    std::atomic<bool>& fFlag;
    std::unique_ptr<IOLock::Disabler>& fDisabler;
    CAMutex& fChangeMutex;
    const std::atomic<UInt32>& fRate;
};

constexpr AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

} // namespace

OSStatus SA_Device::StartIO(UInt32 clientID)
{
    if (!fRateValid) {
        return kIOReturnError;
    }
    CAMutex::Locker locker(fIOMutex);
    if (!fClient || !fClient->IsOpen()) {
        return kIOReturnNotOpen;
    }
    const UInt64 before = fStartCount;
    if (before == std::numeric_limits<UInt64>::max()) {
        throw CAException(kAudioHardwareIllegalOperationError);
    }
    TIDE_LOG(Log::Info, "SA_Device::StartIO %u (%d)", unsigned(clientID), int(before));
    ++fStartCount;
    if (before != 0) {
        return 0;
    }
    if (IsAudioRunning()) {
        SendAudioIsRunningPropertyChanged();
        return 0;
    }
    fZeroTimeFilter.Reset(fZeroTimeSamplePeriod, fSampleRate);
    const OSStatus status = StartAudio();
    if (status != 0) {
        TIDE_LOG(Log::Error, "SA_Device::StartAudio failed with %08x", unsigned(status));
        // The audio server does not balance a failed start with a stop.
        --fStartCount;
        return status;
    }
    SendAudioIsRunningPropertyChanged();
    return 0;
}

OSStatus SA_Device::StopIO(UInt32 clientID)
{
    CAMutex::Locker locker(fIOMutex);
    const UInt64 before = fStartCount;
    if (before == 0) {
        throw CAException(kAudioHardwareIllegalOperationError);
    }
    TIDE_LOG(Log::Info, "SA_Device::StopIO %u (%d)", unsigned(clientID), int(before));
    --fStartCount;
    if (fStartCount == 0 && fStopAudioTimer) {
        fPlugInWorkLoop->AddTimer(fStopAudioTimer.get(), kStopAudioDelayMs, false);
        didArmStopAudioTimer();
    }
    return 0;
}

void SA_Device::MaybeStopAudio()
{
    CAMutex::Locker locker(fIOMutex);
    TIDE_LOG(Log::Info, "SA_Device::MaybeStopAudio %llu %s",
             static_cast<unsigned long long>(fStartCount.load()),
             fAudioStarted ? "audio started" : "audio stopped");
    if (fAudioRunning && (fStartCount == 0 || fSleeping || fChangeInProgress)) {
        StopAudio();
    }
}

void SA_Device::DoIOOperation(AudioObjectID streamID, UInt32 operationID, UInt32 ioBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo& cycleInfo, void* buffer)
{
    const bool locked = fIOLock.TryLock();
    if (!locked || fStartCount == 0 || fInNumCh == 0 || fOutNumCh == 0) {
        LOG_THREAD_POST(&GetLogThread(), "IOoperation err: remove lock %s, %llu, %u %u",
                        locked ? "success" : "failed", static_cast<unsigned long long>(fStartCount.load()),
                        unsigned(fInNumCh), unsigned(fOutNumCh));
        if (locked) {
            fIOLock.Unlock();
        }
        // The host's input buffer still holds an earlier cycle's input: a cycle the device cannot
        // serve reads silence, never audio from before a stop.
        if (operationID == kAudioServerPlugInIOOperationReadInput && streamID == fInputStreamID) {
            std::memset(buffer, 0, std::size_t(ioBufferFrameSize) * InputStreamChannels() * sizeof(float));
        }
        return;
    }
    try {
        if (operationID == kAudioServerPlugInIOOperationReadInput) {
            ReadInputData(streamID, ioBufferFrameSize, cycleInfo.mInputTime.mSampleTime, buffer,
                          InputStreamChannels());
        } else if (operationID == kAudioServerPlugInIOOperationWriteMix) {
            WriteOutputData(streamID, ioBufferFrameSize, cycleInfo.mOutputTime.mSampleTime, buffer,
                            fOutNumCh);
        }
    } catch (...) {
        fIOLock.Unlock();
        throw;
    }
    fIOLock.Unlock();
}

void SA_Device::FilterZHT(UInt64 hostTime, LogThread& log)
{
    int64_t deviation = 0;
    if (!fZeroTimeFilter.Filter(hostTime, fZeroTimeSamplePeriod, fSampleRate, deviation)) {
        LOG_THREAD_POST(
            &log, "FilterZHT - measured zero host timestamp delta differed from ideal by %lld microseconds",
            static_cast<long long>(deviation));
    }
    fZeroHostTime = fZeroTimeFilter.LastZeroHostTime();
}

void SA_Device::SetSampleRate(Float64 rate)
{
    const bool supported = IsSupportedSampleRate(rate);
    TIDE_LOG(Log::Info, "SET SAMPLE RATE %u", supported ? unsigned(rate) : 0u);
    {
        CAMutex::Locker locker(fChangeMutex);
        if (supported) {
            fPendingSampleRate = UInt32(rate);
        }
        if (!fIODisabler) {
            fIODisabler = std::make_unique<IOLock::Disabler>(fIOLock);
        }
    }
    if (fReconfigureItem) {
        fReconfigureItem->Queue();
    }
}

void SA_Device::PerformConfigChange(UInt64, void*)
{
    TIDE_LOG(Log::Info, "BEGIN PERFORM CONFIG CHANGE");
    ChangeInProgress change(fChangeInProgress, fIODisabler, fChangeMutex, fSampleRate);
    MaybeStopAudio();
    // Deactivate frees the client under the state lock.
    CAMutex::Locker stateLocker(fStateMutex);
    if (!fClient) {
        return;
    }
    CAMutex::Locker changeLocker(fChangeMutex);
    const UInt32 requested = fClockChanged ? GetDeviceSampleRate() : fPendingSampleRate;
    fClockChanged = false;
    SetDeviceSampleRate(requested);
    const UInt32 rate = GetDeviceSampleRate();
    fPendingSampleRate = rate;
    fSampleRate = rate;
    UpdateSampleRateDependentParameters();
    UpdateZeroTimePeriod();
    const AudioObjectPropertyAddress changed[] = {
        Global(kAudioDevicePropertyZeroTimeStampPeriod), Global(kAudioDevicePropertyNominalSampleRate),
        Global(kAudioDevicePropertyStreams), Global(kAudioStreamPropertyPhysicalFormat)};
    Host_PropertiesChanged(fObjectID, 4, changed);
}

void SA_Device::AbortConfigChange(UInt64, void*)
{
    TIDE_LOG(Log::Info, "ABORT CONFIGURATION CHANGE");
    if (fReconfigureItem) {
        TIDE_LOG(Log::Info, "ABORT CONFIGURATION CHANGE RETRYING");
        fReconfigureItem->Queue();
    }
}
