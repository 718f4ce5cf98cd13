#include "SA_DeviceUSB.h"

#include "Log.h"

#include <IOKit/IOReturn.h>
#include <mach/mach_time.h>

#include <algorithm>
#include <cstring>

using namespace KorvanDeviceIO;

namespace {

constexpr UInt8 kHighestHeaderVersion = 2;

} // namespace

UInt32 SA_DeviceUSB::enableStreamingHeaders()
{
    fStreamingHeadersEnabled = false;
    fStreamingHeadersVersion = 0;
    UInt8 version = 0;
    if (!fClient->GetStreamingHeadersVersion(version) || version == 0 || version > kHighestHeaderVersion) {
        return 0;
    }
    EnableStreamingHeadersRequest request{version, 1};
    if (!fClient->SetStreamingHeadersEnable(&request)) {
        return 0;
    }
    TIDE_LOG(Log::Info, "Streaming headers enabled (v%d)", int(version));
    fStreamingHeadersEnabled = true;
    fStreamingHeadersVersion = version;
    return UInt32(version) << 8 | 1;
}

bool SA_DeviceUSB::MapRings()
{
    const auto map = [this](UInt32 memoryType) -> USBRequestBlock* {
        UInt32 size = 0;
        void* address = fClient->GetAudioBuffer(memoryType, size);
        if (address != nullptr && size < kRequestRingSizeBytes) {
            // Too short to hold the ring: never touched.
            fClient->ReleaseAudioBuffer(address, memoryType);
            return nullptr;
        }
        return static_cast<USBRequestBlock*>(address);
    };
    fInRequestBlocks = map(kInputRingMemoryType);
    fOutRequestBlocks = map(kOutputRingMemoryType);
    if (fInRequestBlocks != nullptr && fOutRequestBlocks != nullptr) {
        return true;
    }
    UnmapRings();
    return false;
}

void SA_DeviceUSB::UnmapRings()
{
    if (fInRequestBlocks != nullptr) {
        fClient->ReleaseAudioBuffer(fInRequestBlocks, kInputRingMemoryType);
        fInRequestBlocks = nullptr;
    }
    if (fOutRequestBlocks != nullptr) {
        fClient->ReleaseAudioBuffer(fOutRequestBlocks, kOutputRingMemoryType);
        fOutRequestBlocks = nullptr;
    }
}

OSStatus SA_DeviceUSB::StartAudio()
{
    if (!fClient || !fClient->IsOpen() || fInRequestBlocks != nullptr) {
        return kIOReturnNotOpen;
    }
    enableStreamingHeaders();
    if (!MapRings()) {
        TIDE_LOG(Log::Error, "SA_DeviceUSB::StartAudio - failed to map usb request blocks");
        return kIOReturnError;
    }
    PrepareInputRing(fInRequestBlocks, fStreamingHeadersEnabled);
    fFirstBlockStale = !fStreamingHeadersEnabled;

    std::memset(fChaseBuffer.get(), 0, kChaseBufferFloats * sizeof(float));
    fChaseBufferEnd = fChaseBuffer.get() + std::size_t(fZeroTimeSamplePeriod) * fInNumCh;
    fChaseWritePtr = fChaseBuffer.get();
    std::memset(fLoopbackBuffer.get(), 0, kLoopbackBufferFloats * sizeof(float));
    fBufferSyncOffsetSamples = UInt64(fSampleRate) * 300 / 1000;
    fOutBytesPerFrame = fBusBytesPerSample * fOutNumCh;
    fInSampleFramesChased = 0;
    fChaseRequest = {fInRequestBlocks, fInRequestBlocks + 1, 0, fInMaxPacketSizeBytes};
    {
        std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
        fZeroHostTime = 0;
        fZeroSampleTime = 0;
        fLastZeroHostTime = 0;
        fLastZeroSampleTime = 0;
        fZeroTimeRequestIndex = 0;
        std::fill(std::begin(fZeroTimeDelayLine), std::end(fZeroTimeDelayLine), ZeroTimeStamp{0, 0});
    }
    fOutRequestIndex = 0;
    fOutRequestFrames = 0;
    fInSampleFramesCopied = 0;
    LOG_THREAD_POST(fLog.get(), "fInNumCh %d, fOutNumCh %d, fSampleRate %u, fMaxPacketSizeBytes %u",
                    int(fInNumCh), int(fOutNumCh), unsigned(fSampleRate), unsigned(fInMaxPacketSizeBytes));
    LOG_THREAD_POST(fLog.get(), "StartAudio begin fZeroTimeSamplePeriod %u fBufferSyncOffsetSamples %llu",
                    unsigned(fZeroTimeSamplePeriod),
                    static_cast<unsigned long long>(fBufferSyncOffsetSamples));

    USBAudioRunStateRequest run{
        1,       fInIsocInfo.fInterface, fInAlt, fBusBytesPerSample * fInNumCh, fOutIsocInfo.fInterface,
        fOutAlt, fOutBytesPerFrame};
    if (!fClient->SetUSBAudioRunState(&run)) {
        LOG_THREAD_POST(fLog.get(), "Failed to set audio run state");
        // Nothing runs on the rings: give them back, so that the next start can map them again.
        UnmapRings();
        return kIOReturnError;
    }
    fAudioRunning = true;
    fIOThreadChases = false;
    GetDeviceWorkLoop()->AddTimer(&fChaseTimer, kChaseTimerMs, true);

    UInt64 firstZeroHostTime = 0;
    if (!fOutputStarted) {
        const UInt64 deadline = mach_absolute_time() + kStartDeadlineNs;
        BlockHeader first = ReadBlockHeader(fOutRequestBlocks[fOutRequestIndex]);
        while (first.fHostTime == 0 && mach_absolute_time() < deadline) {
            mach_wait_until(std::min(mach_absolute_time() + kStartPollNs, deadline));
            first = ReadBlockHeader(fOutRequestBlocks[fOutRequestIndex]);
        }
        // A request of the ring starts at most the ring's duration from now: a host time beyond
        // that is not waited for.
        if (first.fHostTime == 0 || first.fHostTime > mach_absolute_time() + kIsocRingBufferDuration) {
            LOG_THREAD_POST(fLog.get(), "TIMEOUT STARTING OUTPUT");
            StopAudio();
            return kIOReturnTimeout;
        }
        fOutSampleCount = 0;
        fOutRequestFrames = BlockFrames(first);
        {
            std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
            FilterZHT(first.fHostTime, *fLog);
            fLastZeroHostTime = fZeroHostTime;
            firstZeroHostTime = fZeroHostTime;
        }
        const UInt64 now = mach_absolute_time();
        LOG_THREAD_POST(fLog.get(), "StartAudio waiting %llu, fOutSampleCount %llu",
                        static_cast<unsigned long long>(first.fHostTime > now ? first.fHostTime - now : 0),
                        static_cast<unsigned long long>(fOutSampleCount));
        mach_wait_until(first.fHostTime);
        if (fInSampleFramesCopied == 0) {
            LOG_THREAD_POST(fLog.get(), "INPUT ERROR STARTING, CHASE FAIL");
        }
        {
            std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
            fOutputStarted = true;
        }
        fIOLock.EnableIO();
        fIOEnabledByStart = true;
    }
    LOG_THREAD_POST(fLog.get(), "StartAudio output started %llu, %llu - %u",
                    static_cast<unsigned long long>(firstZeroHostTime),
                    static_cast<unsigned long long>(fOutSampleCount), unsigned(fOutRequestFrames));
    return 0;
}

void SA_DeviceUSB::StopAudio()
{
    if (fIOEnabledByStart) {
        fIOLock.DisableIO();
        fIOEnabledByStart = false;
    }
    if (WorkLoop* workLoop = GetDeviceWorkLoop()) {
        workLoop->RemoveItem(&fChaseTimer);
    }
    fChaseTimer.WaitForRunToComplete();
    fIOThreadChases = false;
    {
        // The zero-time query may run on another thread: it stops reading the output ring here.
        std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
        fOutputStarted = false;
        fZeroHostTime = 0;
        fZeroSampleTime = 0;
    }
    if (fInRequestBlocks == nullptr) {
        return;
    }
    USBAudioRunStateRequest stop{};
    fClient->SetUSBAudioRunState(&stop);
    fAudioRunning = false;
    UnmapRings();
}

void SA_DeviceUSB::didArmStopAudioTimer()
{
    fIOThreadChases = false;
}

UInt64 SA_DeviceUSB::BlockFrames(const BlockHeader& header) const
{
    if (fOutBytesPerFrame == 0 || header.fEndByteCount < header.fStartByteCount) {
        return 0;
    }
    const UInt64 frames = (header.fEndByteCount - header.fStartByteCount) / fOutBytesPerFrame;
    return std::min<UInt64>(frames, kRequestDataSizeBytes / fOutBytesPerFrame);
}
