#include "SA_Device.h"

#include "Log.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "WorkLoop.h"

#include <cstring>

const float kFullGainScaleFactor = 2147483392.0f;
const float kExp = 0.29613208770751953f;
const float kThreadhold = 1.9540118501026882e-07f;

namespace {

constexpr UInt32 kAudioClientType = 'IOIO';

} // namespace

SA_Device::SA_Device(AudioObjectID objectID, const KorvanService& service, WorkLoop* plugInWorkLoop)
    : SA_Object(objectID, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject),
      fPlugInWorkLoop(plugInWorkLoop), fService(service), fInputStreamID(SA_ObjectMap::GetNextObjectID()),
      fOutputStreamID(SA_ObjectMap::GetNextObjectID())
{
    for (AudioObjectID& id : fInputControlIDs) {
        id = SA_ObjectMap::GetNextObjectID();
    }
    for (OutCtrlInfo& control : fOutputControls) {
        control.fVolumeID = SA_ObjectMap::GetNextObjectID();
        control.fMuteID = SA_ObjectMap::GetNextObjectID();
        control.fGain = kFullGainScaleFactor;
    }
    for (std::atomic<float>& gain : fOutputGains) {
        gain.store(kFullGainScaleFactor, std::memory_order_relaxed);
    }
}

SA_Device::~SA_Device()
{
    TIDE_LOG(Log::Info, "~SA_Device\n");
}

void SA_Device::Activate()
{
    TIDE_LOG(Log::Info, "SA_Device::Activate");
    CAMutex::Locker locker(fStateMutex);
    SA_Object::Activate();
    fClient.reset(KorvanServiceClient::Create(fService, kAudioClientType, this, NotificationCallbackProc));
    if (!fClient || !fClient->Open()) {
        return;
    }
    fClient->registerPowerStateChangeNotification(PowerChangeNotification, this);

    fPendingSampleRate = 48000;
    fSampleRate = 48000;
    Init();

    KorvanDeviceIO::DeviceInfoRequest info{};
    if (fClient->GetDeviceInfo(&info)) {
        fModelName.assign(info.fProductName, strnlen(info.fProductName, sizeof(info.fProductName)));
    }
    UpdateExtraInputChannels();

    MapIDs(true);
    for (std::atomic<float>& gain : fOutputGains) {
        gain.store(kFullGainScaleFactor, std::memory_order_relaxed);
    }

    StartDeviceThread();
    fReconfigureItem = std::make_unique<WorkItem>();
    fReconfigureItem->Init(GetDeviceWorkLoop(), ReconfigureCB, this);
    if (fPlugInWorkLoop != nullptr) {
        fStopAudioTimer = std::make_unique<WorkLoopTimer>();
        fStopAudioTimer->Init(StopAudioTimerProc, this);
    }
    UpdateZeroTimePeriod();

    Host_DeviceAvailChanged();
    TIDE_LOG(Log::Notice, "Activated device %s", fService.GetUID().c_str());
}

void SA_Device::Deactivate()
{
    // For good: no IO cycle runs on what the steps below take down.
    fIOLock.DisableIO();
    // Taken under the IO lock, which a late StopIO holds to arm it; waited for outside it, which
    // its run takes.
    std::unique_ptr<WorkLoopTimer> stopAudioTimer;
    {
        CAMutex::Locker locker(fIOMutex);
        stopAudioTimer = std::move(fStopAudioTimer);
    }
    if (stopAudioTimer) {
        fPlugInWorkLoop->RemoveItem(stopAudioTimer.get());
        stopAudioTimer->WaitForRunToComplete();
    }
    if (fReconfigureItem) {
        fReconfigureItem->Detach();
        fReconfigureItem->WaitForRunToComplete();
        fReconfigureItem.reset();
    }
    StopDeviceThread();
    // The power callback takes the state lock: it is stopped, and one in progress waited for,
    // before that lock is held.
    if (fClient) {
        fClient->unregisterPowerStateChangeNotification();
    }
    {
        CAMutex::Locker locker(fStateMutex);
        const bool mapped = IsActive() && fClient && fClient->IsOpen();
        SA_Object::Deactivate();
        if (mapped) {
            MapIDs(false);
        }
        // StartIO uses the client under the IO lock, the property and change work under the
        // state lock: the client goes under both.
        CAMutex::Locker ioLocker(fIOMutex);
        if (fClient) {
            StopAudio();
            fClient->Close();
            fClient.reset();
        }
    }
    TIDE_LOG(Log::Info, "SA_Device::Deactivate\n");
}

void SA_Device::MapIDs(bool map)
{
    const auto apply = [this, map](AudioObjectID id) {
        if (map) {
            SA_ObjectMap::MapObject(id, this);
        } else {
            SA_ObjectMap::UnmapObject(id, this);
        }
    };
    apply(fInputStreamID);
    apply(fOutputStreamID);
    for (AudioObjectID id : fInputControlIDs) {
        apply(id);
    }
    for (const OutCtrlInfo& control : fOutputControls) {
        apply(control.fVolumeID);
        apply(control.fMuteID);
    }
}

void SA_Device::NotificationCallbackProc(void* user, UInt32 type, const UInt8* data, UInt32 length)
{
    if (user != nullptr && type == 0 && length != 0) {
        static_cast<SA_Device*>(user)->UACReadComplete(data, length);
    }
}

void SA_Device::PowerChangeNotification(void* user, KorvanServiceClient::PowerStateChange change)
{
    auto* device = static_cast<SA_Device*>(user);
    if (device == nullptr) {
        return;
    }
    if (change == KorvanServiceClient::kSystemWillSleep) {
        device->sleep();
    } else if (change == KorvanServiceClient::kSystemHasPoweredOn) {
        device->wake();
    }
}

void SA_Device::sleep()
{
    TIDE_LOG_SCOPE();
    {
        std::lock_guard<std::mutex> lock(fSleepMutex);
        fSleeping = true;
    }
    MaybeStopAudio();
}

void SA_Device::wake()
{
    TIDE_LOG_SCOPE();
    std::lock_guard<std::mutex> sleepLock(fSleepMutex);
    fSleeping = false;
    CAMutex::Locker stateLocker(fStateMutex);
    CAMutex::Locker ioLocker(fIOMutex);
    if (fStartCount != 0 && !IsAudioRunning()) {
        TIDE_LOG(Log::Info, "%s - starting audio (fStartCount = %llu)\n", "wake",
                 static_cast<unsigned long long>(fStartCount));
        StartAudio();
    }
}

bool SA_Device::ReconfigureCB(WorkLoopItem*, void* device)
{
    TIDE_LOG(Log::Info, "BEGIN REQUEST CONFIGURATION CHANGE");
    auto* self = static_cast<SA_Device*>(device);
    Host_RequestDeviceConfigurationChange(self->fObjectID, kConfigChangeAction, self);
    return true;
}

bool SA_Device::StopAudioTimerProc(WorkLoopItem*, void* device)
{
    static_cast<SA_Device*>(device)->MaybeStopAudio();
    return true;
}

UInt32 SA_Device::GetCtrlIndex(AudioObjectID objectID) const
{
    for (UInt32 channel = 0; channel < kMaxChannels; ++channel) {
        if (fInputControlIDs[channel] == objectID || fOutputControls[channel].fVolumeID == objectID ||
            fOutputControls[channel].fMuteID == objectID) {
            return channel;
        }
    }
    return 0;
}

void SA_Device::fallbackToDefaultChannelNames()
{
    fChannelNames = ChannelNames::Defaults();
}

void SA_Device::SendAudioIsRunningPropertyChanged()
{
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsRunning,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    Host_PropertiesChanged(fObjectID, 1, &address);
}

UInt32 SA_Device::ZeroTimePeriodFor(UInt32 rate)
{
    if (rate <= 48000) {
        return 16384;
    }
    return rate <= 96000 ? 32768 : 65536;
}

void SA_Device::UpdateZeroTimePeriod()
{
    fZeroTimeSamplePeriod = ZeroTimePeriodFor(fSampleRate);
}

void SA_Device::UpdateExtraInputChannels()
{
    const UInt32 extra = ExtraInputChannelsFor(fModelName);
    fExtraInputChannels = fInNumCh + extra <= kMaxChannels ? extra : 0;
}

UInt32 SA_Device::ExtraInputChannelsFor(const std::string& modelName)
{
    return modelName == "Brio" || modelName == "Tenor" || modelName == "Basso" ? kExtraInputChannels : 0;
}
