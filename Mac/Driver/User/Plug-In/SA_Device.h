#pragma once

// The audio device the plug-in shows for one driver service. It owns the driver client, answers for
// its two streams and its controls (which have no objects of their own), counts the audio server's
// IO clients, and serialises configuration changes against the IO cycle. The streaming engine of a
// bus derives from it and implements the pure operations. The plug-in object makes devices through
// the factory it is given.

#include "CAMutex.h"
#include "ChannelNames.h"
#include "IOLock.h"
#include "KorvanService.h"
#include "KorvanServiceClient.h"
#include "SA_Object.h"
#include "ZeroTimeFilter.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class LogThread;
class WorkItem;
class WorkLoop;
class WorkLoopItem;
class WorkLoopTimer;

// 2^31 - 256: a full-scale float sample times this is the largest 24-bit sample at the top of 32.
extern const float kFullGainScaleFactor;
extern const float kExp;
extern const float kThreadhold;

class SA_Device : public SA_Object
{
public:
    static constexpr UInt32 kMaxChannels = KorvanDeviceIO::kMaxDMAChannels;
    static constexpr UInt32 kExtraInputChannels = 4;
    static constexpr UInt32 kConfigChangeAction = 'vork';
    static constexpr UInt64 kStopAudioDelayMs = 2000;

    struct OutCtrlInfo
    {
        UInt32 fVolumeID = 0;
        UInt32 fMuteID = 0;
        Float32 fScalar = 1.0f;
        Float32 fGain = 0;
        bool fMuted = false;
    };

    SA_Device(AudioObjectID objectID, const KorvanService& service, WorkLoop* plugInWorkLoop);
    ~SA_Device() override;

    void Activate() override;
    void Deactivate() override;

    bool HasProperty(AudioObjectID objectID, pid_t clientPID,
                     const AudioObjectPropertyAddress& address) override;
    bool IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress& address) override;
    UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t clientPID,
                               const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                               const void* qualifier) override;
    void GetPropertyData(AudioObjectID objectID, pid_t clientPID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize, UInt32& outDataSize,
                         void* outData) override;
    void SetPropertyData(AudioObjectID objectID, pid_t clientPID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize,
                         const void* inData) override;

    // Called once the stop-audio timer is armed.
    virtual void didArmStopAudioTimer() {}

    // The streaming engine.
    virtual void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) = 0;
    virtual void Init() = 0;
    virtual OSStatus StartAudio() = 0;
    virtual void StopAudio() = 0;
    virtual bool IsAudioRunning() = 0;
    virtual bool CanSetSampleRate() = 0;
    virtual void SetDeviceSampleRate(UInt32 rate) = 0;
    virtual UInt32 GetDeviceSampleRate() = 0;
    virtual void UpdateSampleRateDependentParameters() = 0;
    virtual void UACReadComplete(const UInt8* data, UInt32 length) = 0;
    virtual void ReadInputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, void* buffer,
                               UInt32 bufferChannels) = 0;
    virtual void WriteOutputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime,
                                 const void* buffer, UInt32 channels) = 0;

    virtual void sleep();
    virtual void wake();

    // What the plug-in object and the driver-interface entries call.
    virtual const KorvanService& GetService() const { return fService; }
    virtual OSStatus StartIO(UInt32 clientID);
    virtual OSStatus StopIO(UInt32 clientID);
    virtual void DoIOOperation(AudioObjectID streamID, UInt32 operationID, UInt32 ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo& cycleInfo, void* buffer);
    virtual void PerformConfigChange(UInt64 action, void* info);
    virtual void AbortConfigChange(UInt64 action, void* info);

    // Stops audio when no client wants it, the computer sleeps or a configuration change runs.
    void MaybeStopAudio();
    // Asks the audio server for a change to `rate`; IO stays disabled until the change is done.
    void SetSampleRate(Float64 rate);

    // The channel whose input mute, output volume or output mute has this id; 0 when none.
    UInt32 GetCtrlIndex(AudioObjectID objectID) const;
    void fallbackToDefaultChannelNames();
    void SendAudioIsRunningPropertyChanged();
    void UpdateZeroTimePeriod();
    // The model's extra input channels, while the input stream stays within 32 channels.
    void UpdateExtraInputChannels();

    // The client's notification callback and the system's power callback.
    static void NotificationCallbackProc(void* user, UInt32 type, const UInt8* data, UInt32 length);
    static void PowerChangeNotification(void* user, KorvanServiceClient::PowerStateChange change);

    // The zero-time period for a rate: 16384 frames up to 48 kHz, 32768 up to 96 kHz, else 65536.
    static UInt32 ZeroTimePeriodFor(UInt32 rate);
    // 4 extra input channels for the models "Brio", "Tenor" and "Basso".
    static UInt32 ExtraInputChannelsFor(const std::string& modelName);

    // For tests: the state a test reads.
    UInt64 GetStartCount() const { return fStartCount; }
    UInt32 GetSampleRate() const { return fSampleRate; }
    UInt32 GetZeroTimeSamplePeriod() const { return fZeroTimeSamplePeriod; }
    bool IsRateValid() const { return fRateValid; }
    IOLock& GetIOLock() { return fIOLock; }
    AudioObjectID GetInputStreamID() const { return fInputStreamID; }
    AudioObjectID GetOutputStreamID() const { return fOutputStreamID; }
    UInt32 GetInputChannels() const { return fInNumCh; }
    UInt32 GetOutputChannels() const { return fOutNumCh; }
    UInt32 GetExtraInputChannels() const { return fExtraInputChannels; }
    float GetOutputGain(UInt32 channel) const
    {
        return fOutputGains[channel].load(std::memory_order_relaxed);
    }

protected:
    // The device's own work loop, on which the reconfigure item and the engine's timed work run.
    virtual WorkLoop* GetDeviceWorkLoop() = 0;
    // Starts the device's own thread; nothing when it runs already.
    virtual void StartDeviceThread() = 0;
    virtual void StopDeviceThread() = 0;
    // The device's real-time log, for what the IO thread reports.
    virtual LogThread& GetLogThread() = 0;

    // Hands a zero host time to the filter; the line of an unfiltered time goes to `log`, since
    // the IO thread may be the caller.
    void FilterZHT(UInt64 hostTime, LogThread& log);

    // The stream's channel count: input channels plus the extra ones, or output channels.
    UInt32 InputStreamChannels() const { return fInNumCh + fExtraInputChannels; }

    WorkLoop* const fPlugInWorkLoop;
    IOLock fIOLock;
    CAMutex fStateMutex{"DeviceState"};
    CAMutex fIOMutex{"DeviceIO"};
    KorvanService fService;
    std::unique_ptr<KorvanServiceClient> fClient;
    std::atomic<UInt64> fStartCount{0};
    std::unique_ptr<IOLock::Disabler> fIODisabler;
    std::atomic<bool> fChangeInProgress{false};
    CAMutex fChangeMutex{"ChangePending"};
    UInt32 fPendingSampleRate = 48000;
    std::atomic<UInt32> fSampleRate{48000};
    std::atomic<UInt32> fInNumCh{0};
    std::atomic<UInt32> fOutNumCh{0};
    std::string fModelName;
    std::atomic<UInt32> fExtraInputChannels{0};
    std::atomic<bool> fRateValid{false};
    AudioObjectID fInputStreamID;
    AudioObjectID fOutputStreamID;
    bool fInputStreamActive = false;
    bool fOutputStreamActive = false;
    AudioObjectID fInputControlIDs[kMaxChannels];
    std::atomic<UInt32> fInputMuteMask{0};
    OutCtrlInfo fOutputControls[kMaxChannels];
    // Set with the volume and mute controls, read by the IO cycle, which takes no lock: each gain
    // stands on its own, so relaxed loads and stores suffice.
    std::atomic<float> fOutputGains[kMaxChannels];
    static_assert(std::atomic<float>::is_always_lock_free);
    std::unique_ptr<WorkItem> fReconfigureItem;
    std::unique_ptr<WorkLoopTimer> fStopAudioTimer;
    std::atomic<UInt32> fZeroTimeSamplePeriod{16384};
    ZeroTimeFilter fZeroTimeFilter;
    // The device's zero timestamp, which the filter moves on.
    UInt64 fZeroHostTime = 0;
    UInt64 fZeroSampleTime = 0;
    std::atomic<bool> fAudioRunning{false};
    std::atomic<bool> fAudioStarted{false};
    std::atomic<bool> fClockChanged{false};
    ChannelNames fChannelNames;
    std::mutex fSleepMutex;
    // Written under the sleep mutex; read by MaybeStopAudio, which holds the IO mutex.
    std::atomic<bool> fSleeping{false};

private:
    static bool ReconfigureCB(WorkLoopItem* item, void* device);
    static bool StopAudioTimerProc(WorkLoopItem* item, void* device);
    void MapIDs(bool map);

    // Property tables, by the kind of object addressed.
    enum class Kind
    {
        Device,
        InputStream,
        OutputStream,
        InputMute,
        OutputVolume,
        OutputMute,
    };
    Kind KindOf(AudioObjectID objectID, const char* operation,
                const AudioObjectPropertyAddress& address) const;
    // The kind of object addressed, for a property it has; throws '!obj' or 'who?' otherwise.
    Kind KindOfProperty(AudioObjectID objectID, pid_t clientPID, const char* operation,
                        const AudioObjectPropertyAddress& address);
    bool HasDeviceProperty(const AudioObjectPropertyAddress& address) const;
    UInt32 DevicePropertySize(const AudioObjectPropertyAddress& address) const;
    void GetDeviceProperty(pid_t clientPID, const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                           UInt32& outDataSize, void* outData);
    void SetDeviceProperty(const AudioObjectPropertyAddress& address, UInt32 inDataSize, const void* inData);
    bool HasStreamProperty(const AudioObjectPropertyAddress& address) const;
    void GetStreamProperty(bool input, const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                           UInt32& outDataSize, void* outData);
    void SetStreamProperty(bool input, const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                           const void* inData);
    bool HasControlProperty(Kind kind, const AudioObjectPropertyAddress& address) const;
    UInt32 ControlPropertySize(Kind kind, const AudioObjectPropertyAddress& address) const;
    void GetControlProperty(Kind kind, UInt32 channel, const AudioObjectPropertyAddress& address,
                            UInt32 inDataSize, UInt32& outDataSize, void* outData);
    void SetControlProperty(Kind kind, AudioObjectID objectID, UInt32 channel,
                            const AudioObjectPropertyAddress& address, UInt32 inDataSize, const void* inData);
    void SetVolumeScalar(UInt32 channel, Float32 scalar);
    // The channel's gain for the IO cycle: 0 while muted, else its linear gain.
    void UpdateOutputGain(UInt32 channel);
    UInt32 TransportType(pid_t clientPID) const;
};
