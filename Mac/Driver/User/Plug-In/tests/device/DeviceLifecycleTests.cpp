#include "DeviceFixture.h"

#include <DarwinTesting/ManualClock.h>
#include <IOKit/IOReturn.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace PlugInTesting;

namespace {

class DeviceLifecycle : public DeviceFixture
{};

TEST_F(DeviceLifecycle, ActivationReadsDescriptorsRateNamesThenIdentity)
{
    Activate();
    // 6: descriptors; 3: the selector's pin, then the rate; 7: names; 0: identity.
    EXPECT_EQ(AudioCalls(),
              (std::vector<uint32_t>{kGetUSBConfig1Descriptors, kSendUACControlRequest,
                                     kSendUACControlRequest, kGetChannelNames, kGetDeviceInfo}));
    EXPECT_TRUE(fDevice->IsRateValid());
    EXPECT_EQ(fDevice->GetInputChannels(), 20u);
    EXPECT_EQ(fDevice->GetOutputChannels(), 22u);
}

TEST_F(DeviceLifecycle, StreamsAndControlsTakeTheIdsAfterTheDevice)
{
    SA_DeviceUSB& device = Activate();
    const AudioObjectID id = fDeviceID;
    EXPECT_EQ(device.GetInputStreamID(), id + 1);
    EXPECT_EQ(device.GetOutputStreamID(), id + 2);
    for (UInt32 channel = 0; channel < 32; ++channel) {
        const AudioObjectID inputMute = id + 3 + channel;
        const AudioObjectID volume = id + 35 + 2 * channel;
        const AudioObjectID outputMute = volume + 1;
        for (AudioObjectID control : {inputMute, volume, outputMute}) {
            SA_Object* object = SA_ObjectMap::CopyObjectByObjectID(control);
            EXPECT_EQ(object, &device) << control;
            SA_ObjectMap::ReleaseObject(object);
            EXPECT_EQ(device.GetCtrlIndex(control), channel) << control;
        }
        EXPECT_EQ(device.GetOutputGain(channel), 2147483392.0f);
    }
    EXPECT_EQ(device.GetCtrlIndex(id + 200), 0u);
    EXPECT_EQ(device.GetCtrlIndex(id + 1), 0u);
    EXPECT_TRUE(fHost.WaitForChanges(1));
    bool told = false;
    for (const PropertiesChange& change : fHost.Changes()) {
        told = told || IsDeviceListChange(change);
    }
    EXPECT_TRUE(told) << "the plug-in's owned objects and device list";
}

TEST_F(DeviceLifecycle, ModelsWithExtraInputs)
{
    const struct
    {
        const char* name;
        UInt32 extra;
    } cases[] = {{"Brio", 4}, {"Tenor", 4}, {"Basso", 4}, {"Brio2", 0}, {"brio", 0}, {"", 0}, {"Wrenlet", 0}};
    for (const auto& testCase : cases) {
        EXPECT_EQ(SA_Device::ExtraInputChannelsFor(testCase.name), testCase.extra) << testCase.name;
    }
}

TEST_F(DeviceLifecycle, ExtraInputsOfABrio)
{
    UseModel(KorvanInterface::Model::Brio);
    SA_DeviceUSB& device = Activate();
    EXPECT_EQ(device.GetInputChannels(), 2u);
    EXPECT_EQ(device.GetExtraInputChannels(), 4u);
}

TEST_F(DeviceLifecycle, ZeroTimePeriodByRate)
{
    const struct
    {
        UInt32 rate;
        UInt32 period;
    } cases[] = {{44100, 16384}, {48000, 16384},  {88200, 32768},
                 {96000, 32768}, {176400, 65536}, {192000, 65536}};
    for (const auto& testCase : cases) {
        EXPECT_EQ(SA_Device::ZeroTimePeriodFor(testCase.rate), testCase.period) << testCase.rate;
    }
}

TEST_F(DeviceLifecycle, DeviceWhoseClientCannotOpenMapsNothingAndCannotStart)
{
    fService.publish();
    fService.terminate();
    SA_DeviceUSB& device = Activate(false);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(device.GetInputStreamID()), nullptr);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(device.GetOutputStreamID()), nullptr);
    EXPECT_EQ(device.StartIO(7), OSStatus(kIOReturnError));
    EXPECT_EQ(device.GetStartCount(), 0u);
}

TEST_F(DeviceLifecycle, SleepStopsAudioAndWakeRestartsItForItsClients)
{
    SA_DeviceUSB& device = Activate();
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(7), 0);
    EXPECT_TRUE(device.IsAudioRunning());
    EXPECT_EQ(fService.runStarts().size(), 1u);

    SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemWillSleep);
    EXPECT_FALSE(device.IsAudioRunning());
    EXPECT_EQ(fService.runStops(), 1);
    EXPECT_EQ(device.GetStartCount(), 1u);

    SubmitFirstOutputBlock();
    SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemHasPoweredOn);
    EXPECT_TRUE(device.IsAudioRunning());
    EXPECT_EQ(fService.runStarts().size(), 2u);

    // Without clients, wake starts nothing.
    ASSERT_EQ(device.StopIO(7), 0);
    SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemWillSleep);
    EXPECT_FALSE(device.IsAudioRunning());
    SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemHasPoweredOn);
    EXPECT_FALSE(device.IsAudioRunning());
    EXPECT_EQ(fService.runStarts().size(), 2u);
    SA_Device::PowerChangeNotification(nullptr, KorvanServiceClient::kSystemWillSleep);
}

TEST_F(DeviceLifecycle, DeactivateWaitsForTheCycleInsideAndDisablesIOForGood)
{
    SA_DeviceUSB& device = Activate();
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(7), 0);
    IOLock& lock = device.GetIOLock();
    ASSERT_TRUE(lock.TryLock()) << "a cycle inside";
    std::atomic<bool> deactivated{false};
    std::thread plugInThread([&] {
        device.Deactivate();
        deactivated = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit);
        if (!lock.TryLock()) {
            break;
        }
        lock.Unlock();
        std::this_thread::yield();
    }
    EXPECT_FALSE(deactivated);
    lock.Unlock();
    plugInThread.join();
    EXPECT_TRUE(deactivated);
    EXPECT_FALSE(lock.TryLock());
    EXPECT_EQ(fService.runStops(), 1);
    SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
    fDevice = nullptr;
}

// Every thread of the device runs on manual time, so waits are the test's to end.
class DeviceLifecycleOnManualClock : public DeviceFixture
{
protected:
    DarwinTesting::ManualClock fClock;
};

TEST_F(DeviceLifecycleOnManualClock, IOLockFollowsStartsStopsAndChanges)
{
    SA_DeviceUSB& device = Activate();
    IOLock& lock = device.GetIOLock();
    EXPECT_FALSE(Admits(lock)) << "construction";

    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartIO(7), 0);
    EXPECT_TRUE(Admits(lock)) << "a good start";

    device.StopAudio();
    EXPECT_FALSE(Admits(lock)) << "a stop";
    device.StopAudio();
    EXPECT_FALSE(Admits(lock)) << "a second stop";

    EXPECT_EQ(StartWithoutOutput(fClock), OSStatus(kIOReturnTimeout));
    EXPECT_FALSE(Admits(lock)) << "a start that timed out";
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartAudio(), 0);
    EXPECT_TRUE(Admits(lock)) << "then a good start";

    device.SetSampleRate(96000);
    EXPECT_FALSE(Admits(lock)) << "a rate change";
    device.PerformConfigChange(SA_Device::kConfigChangeAction, &device);
    EXPECT_FALSE(Admits(lock)) << "after the change, until audio starts again";
    SubmitFirstOutputBlock();
    ASSERT_EQ(device.StartAudio(), 0);
    EXPECT_TRUE(Admits(lock));

    device.Deactivate();
    EXPECT_FALSE(Admits(lock)) << "Deactivate";
    SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
    fDevice = nullptr;
}

} // namespace
