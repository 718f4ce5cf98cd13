#include "SA_DeviceUSB.h"

#include "Log.h"

#include <cstring>

SA_Device* SA_DeviceUSB::Create(AudioObjectID objectID, const KorvanService& service, WorkLoop* workLoop)
{
    if (service.GetBusType() != KorvanService::kBusTypeUSB) {
        return nullptr;
    }
    return new SA_DeviceUSB(objectID, service, workLoop);
}

SA_DeviceUSB::SA_DeviceUSB(AudioObjectID objectID, const KorvanService& service, WorkLoop* workLoop)
    : SA_Device(objectID, service, workLoop), fOutScratch(new SInt32[kOutScratchSamples]),
      fChaseBuffer(new float[kChaseBufferFloats]()), fLoopbackBuffer(new float[kLoopbackBufferFloats]())
{
    fChaseTimer.Init(ChaseTimerProc, this);
    fChaseWritePtr = fChaseBuffer.get();
    fChaseBufferEnd = fChaseBuffer.get() + fZeroTimeSamplePeriod * kMaxChannels;
    WorkLoopThread2::Start();
    fLog = std::make_unique<LogThread>(AudioLogFunc);
}

SA_DeviceUSB::~SA_DeviceUSB()
{
    WorkLoopThread2::Stop();
    TIDE_LOG(Log::Info, "~SA_DeviceUSB\n");
    fLog.reset();
}

void SA_DeviceUSB::Init()
{
    if (!fClient || !fClient->IsOpen()) {
        return;
    }
    fClient->GetUSBConfig1Descriptors(&fConfigDescriptors);
    fBusBytesPerSample = FindBusBytesPerSample(fConfigDescriptors);
    FindIsocInfo(fConfigDescriptors, fInIsocInfo, fOutIsocInfo);
    const UInt32 rate = GetDeviceSampleRate();
    fSampleRate = rate;
    fPendingSampleRate = rate;
    UpdateSampleRateDependentParameters();
}

void SA_DeviceUSB::UpdateSampleRateDependentParameters()
{
    RateFamily family = kRateFamily1x;
    if (!RateFamilyOf(fSampleRate, family)) {
        return;
    }
    const IsocFamilyInfo& in = fInIsocInfo.fFamily[family];
    const IsocFamilyInfo& out = fOutIsocInfo.fFamily[family];
    fInNumCh = in.fNumCh;
    fInAlt = in.fAlt;
    fInMaxPacketSizeBytes = in.fMaxPacket;
    fOutNumCh = out.fNumCh;
    fOutAlt = out.fAlt;
    UpdateExtraInputChannels();

    if (fInNumCh == 0) {
        TIDE_LOG(Log::Error, "%s - fInNumCh is 0?", "UpdateSampleRateDependentParameters");
        fInMaxPacketValidSampleFrameBytes = fInMaxPacketSizeBytes;
    } else {
        fInMaxPacketValidSampleFrameBytes =
            fInMaxPacketSizeBytes - fInMaxPacketSizeBytes % (fInNumCh * fBusBytesPerSample);
    }
    TIDE_LOG(Log::Info, "%s - fInMaxPacketSizeBytes = %d, fInMaxPacketValidSampleFrameBytes = %d",
             "UpdateSampleRateDependentParameters", int(fInMaxPacketSizeBytes),
             int(fInMaxPacketValidSampleFrameBytes));
    fInBytesPerSampleFrame = fBusBytesPerSample * fInNumCh;
    fInMaxSampleFramesPerPacket =
        fInBytesPerSampleFrame == 0 ? 0 : fInMaxPacketValidSampleFrameBytes / fInBytesPerSampleFrame;

    if (!fClient || !fClient->IsOpen()) {
        return;
    }
    KorvanDeviceIO::ChannelNamesRequest request{fInIsocInfo.fInterface, fInAlt, fOutIsocInfo.fInterface,
                                                fOutAlt};
    KorvanDeviceIO::ChannelNamesResponse response{};
    if (!fClient->GetChannelNames(&request, &response)) {
        fallbackToDefaultChannelNames();
        TIDE_LOG(Log::Error, "Couldn't get channel names!!");
        return;
    }
    ChannelNames names;
    if (!ParseChannelNames(response, fInNumCh, fOutNumCh, names)) {
        fallbackToDefaultChannelNames();
        return;
    }
    fChannelNames = std::move(names);
    TIDE_LOG(Log::Info, "Got channel names!");
}
