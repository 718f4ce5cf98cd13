#pragma once

// The device of the plug-in's tests: it opens its driver client of type 'IOIO' when activated and
// tells the host that the device list changed, as the real device does, and records every call
// the plug-in makes on it. It has no streaming engine: the entries that would reach one are
// recorded instead.

#include "KorvanServiceClient.h"
#include "SA_Device.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class WorkLoop;

namespace PlugInTesting {

class TestDevice : public SA_Device
{
public:
    // The plug-in's device factory in the tests: a test device for a USB service, else null.
    static SA_Device* Create(AudioObjectID objectID, const KorvanService& service, WorkLoop* workLoop);

    TestDevice(AudioObjectID objectID, const KorvanService& service);
    ~TestDevice() override;

    void Activate() override;
    void Deactivate() override;

    const KorvanService& GetService() const override;
    bool IsClientOpen() const;

    OSStatus StartIO(UInt32 clientID) override;
    OSStatus StopIO(UInt32 clientID) override;
    void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) override;
    void DoIOOperation(AudioObjectID streamID, UInt32 operationID, UInt32 ioBufferFrameSize,
                       const AudioServerPlugInIOCycleInfo& cycleInfo, void* buffer) override;
    void PerformConfigChange(UInt64 action, void* info) override;
    void AbortConfigChange(UInt64 action, void* info) override;

    void Init() override {}
    OSStatus StartAudio() override { return 0; }
    void StopAudio() override {}
    bool IsAudioRunning() override { return false; }
    bool CanSetSampleRate() override { return false; }
    void SetDeviceSampleRate(UInt32) override {}
    UInt32 GetDeviceSampleRate() override { return fSampleRate; }
    void UpdateSampleRateDependentParameters() override {}
    void UACReadComplete(const UInt8*, UInt32) override {}
    void ReadInputData(AudioObjectID, UInt32, Float64, void*, UInt32) override {}
    void WriteOutputData(AudioObjectID, UInt32, Float64, const void*, UInt32) override {}

protected:
    WorkLoop* GetDeviceWorkLoop() override { return nullptr; }
    void StartDeviceThread() override {}
    void StopDeviceThread() override {}
    LogThread& GetLogThread() override;
};

// Called by GetService before it answers, so a test can hold up whoever asks.
void SetGetServiceHook(std::function<void()> hook);

// What the test devices of the process did, in order: "create 32", "activate 32", "StartIO 32 7",
// "destroy 32" and so on.
std::vector<std::string> DeviceEvents();
void ClearDeviceEvents();

} // namespace PlugInTesting
