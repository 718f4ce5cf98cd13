#pragma once

// The device of a USB interface and its streaming engine: set-up from the configuration
// descriptors, sample-rate control, start and stop of the driver's stream, the input chase out of
// the input ring, the output write into the output ring, and the zero timestamps the output ring's
// host times give.

#include "KorvanRequestRing.h"
#include "LogThread.h"
#include "SA_Device.h"
#include "USBStreamingLayout.h"
#include "WorkLoop.h"
#include "WorkLoopThread.h"

#include <memory>
#include <mutex>

class SA_DeviceUSB : public SA_Device, public WorkLoopThread2
{
public:
    static constexpr UInt32 kChaseBufferFloats = 65536 * 32 + 4096;
    static constexpr UInt32 kLoopbackBufferFloats = 65536 * 2 + 256;
    static constexpr UInt32 kOutScratchSamples = KorvanDeviceIO::kRequestDataSizeBytes / sizeof(SInt32);
    static constexpr UInt32 kChaseTimerMs = 5;
    static constexpr UInt64 kStartDeadlineNs = 200000000;
    static constexpr UInt64 kStartPollNs = 125000;
    static constexpr UInt32 kZeroTimeDelayLineLength = 10;
    // Header-off input: a lost packet is passed over when a fresh one follows within this many.
    static constexpr int kDropSearchPackets = 9;

    // The plug-in's device factory: a device for a USB service, else null.
    static SA_Device* Create(AudioObjectID objectID, const KorvanService& service, WorkLoop* workLoop);

    SA_DeviceUSB(AudioObjectID objectID, const KorvanService& service, WorkLoop* workLoop);
    ~SA_DeviceUSB() override;

    void didArmStopAudioTimer() override;
    void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) override;
    void Init() override;
    OSStatus StartAudio() override;
    void StopAudio() override;
    bool IsAudioRunning() override { return fOutputStarted; }
    bool CanSetSampleRate() override;
    void SetDeviceSampleRate(UInt32 rate) override;
    UInt32 GetDeviceSampleRate() override;
    void UpdateSampleRateDependentParameters() override;
    void UACReadComplete(const UInt8* data, UInt32 length) override;
    void ReadInputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, void* buffer,
                       UInt32 bufferChannels) override;
    void WriteOutputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, const void* buffer,
                         UInt32 channels) override;

    // (version << 8) | 1 when the driver agreed to streaming headers, else 0.
    UInt32 enableStreamingHeaders();
    void UpdateZeroTimes();
    void ChaseInput();

    // For tests.
    const IsocInfo& GetInIsocInfo() const { return fInIsocInfo; }
    const IsocInfo& GetOutIsocInfo() const { return fOutIsocInfo; }
    UInt32 GetBusBytesPerSample() const { return fBusBytesPerSample; }
    UInt64 GetBufferSyncOffsetSamples() const { return fBufferSyncOffsetSamples; }
    bool AreStreamingHeadersEnabled() const { return fStreamingHeadersEnabled; }
    UInt64 GetInputSampleFramesCopied() const { return fInSampleFramesCopied; }

protected:
    WorkLoop* GetDeviceWorkLoop() override { return fWorkLoop.get(); }
    void StartDeviceThread() override { WorkLoopThread2::Start(); }
    void StopDeviceThread() override { WorkLoopThread2::Stop(); }
    LogThread& GetLogThread() override { return *fLog; }

private:
    static bool ChaseTimerProc(WorkLoopItem* item, void* device);
    bool MapRings();
    void UnmapRings();
    // The frames of an output block, bounded by the block's data area.
    UInt64 BlockFrames(const KorvanDeviceIO::BlockHeader& header) const;
    // Copies packet bytes into the chase ring.
    void CopyIntoChaseBuffer(const UInt8* bytes, UInt32 byteCount);
    void WriteSilence(UInt64 frames);
    UInt32 HeaderOffFrames(const UInt8* packet) const;
    // Header-off: passes over lost packets when a fresh one follows within a few.
    bool SkipLostPackets();
    void ConsumeChasePacket(const KorvanDeviceIO::USBRequestIter& packet);
    bool RepairDroppedPackets();
    // With headers, a packet written since the chase last consumed it may still be one the controller
    // wrote a ring cycle before: after the chase held, those beyond the controller were never
    // consumed. They count fewer frames than the chase has taken, by up to about a ring's worth.
    bool LiesACycleBehind(const KorvanDeviceIO::IsocPacketHeader& header) const;
    // Written since the chase last consumed it, and not a ring cycle old.
    bool HasArrived(const KorvanDeviceIO::USBRequestIter& packet) const;
    // With headers: passes over a stretch of lost packets that cannot be repaired.
    void PassOverUnrepairedStretch(const KorvanDeviceIO::USBRequestIter& nextGood);
    void WriteFrames(UInt8* destination, const float* source, UInt32 frames);
    void popZeroTimeDelayLine();

    KorvanDeviceIO::USBRequestBlock* fInRequestBlocks = nullptr;
    KorvanDeviceIO::USBRequestBlock* fOutRequestBlocks = nullptr;
    std::unique_ptr<SInt32[]> fOutScratch;
    KorvanDeviceIO::USBDescriptors fConfigDescriptors{};
    IsocInfo fInIsocInfo{};
    IsocInfo fOutIsocInfo{};
    WorkLoopTimer fChaseTimer;
    std::recursive_mutex fChaseLock;
    KorvanDeviceIO::USBRequestIter fChaseRequest;
    std::atomic<UInt64> fLastChaseHostTime{0};
    int64_t fInSampleFramesChased = 0;
    UInt32 fBusBytesPerSample = kDefaultBusBytesPerSample;
    UInt32 fOutBytesPerFrame = 0;
    UInt64 fLastZeroHostTime = 0;
    UInt64 fLastZeroSampleTime = 0;
    std::recursive_mutex fZeroTimeLock;
    UInt64 fOutSampleCount = 0;
    UInt64 fOutRequestFrames = 0;
    UInt32 fOutRequestIndex = 0;
    UInt32 fZeroTimeRequestIndex = 0;
    std::unique_ptr<float[]> fChaseBuffer;
    float* fChaseWritePtr = nullptr;
    float* fChaseBufferEnd = nullptr;
    std::unique_ptr<float[]> fLoopbackBuffer;
    UInt32 fInMaxPacketSizeBytes = 0;
    UInt32 fInMaxPacketValidSampleFrameBytes = 0;
    UInt32 fInBytesPerSampleFrame = 0;
    UInt32 fInMaxSampleFramesPerPacket = 0;
    UInt64 fBufferSyncOffsetSamples = 0;
    std::atomic<UInt64> fInSampleFramesCopied{0};
    UInt8 fInAlt = 0;
    UInt8 fOutAlt = 0;
    bool fStreamingHeadersEnabled = false;
    UInt8 fStreamingHeadersVersion = 0;
    std::atomic<bool> fIOThreadChases{false};
    std::unique_ptr<LogThread> fLog;
    struct ZeroTimeStamp
    {
        UInt64 fSampleTime;
        UInt64 fHostTime;
    };
    ZeroTimeStamp fZeroTimeDelayLine[kZeroTimeDelayLineLength]{};
    // Set at the end of a successful start; the zero-time walk reads the output ring only while
    // it is set, and StopAudio clears it under the zero-time lock before unmapping.
    std::atomic<bool> fOutputStarted{false};
    // The start's enabling of IO, which the next stop takes back.
    bool fIOEnabledByStart = false;
    // Header-off: block 0 still holds the data of the drivers' skipped first request.
    bool fFirstBlockStale = false;
};
