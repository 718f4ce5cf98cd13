#include "DeviceFixture.h"
#include "IOLock.h"
#include "IORunner.h"
#include "SA_PlugInInterface.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

// IO cycles race configuration work: no cycle is ever inside while a disabler lives.
TEST(IOLockStress, NoCycleInsideWhileDisabled)
{
    IOLock lock;
    lock.EnableIO();
    std::atomic<int> inside{0};
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::vector<std::thread> ioThreads;
    for (int thread = 0; thread < 3; ++thread) {
        ioThreads.emplace_back([&] {
            while (!stop) {
                if (lock.TryLock()) {
                    ++inside;
                    ++cycles;
                    --inside;
                    lock.Unlock();
                }
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cycles == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GT(cycles.load(), 0) << "no IO cycle ran";
    int insideWhileDisabled = 0;
    for (int change = 0; change < 2000; ++change) {
        IOLock::Disabler disabler(lock);
        insideWhileDisabled += inside.load();
    }
    EXPECT_EQ(insideWhileDisabled, 0);
    stop = true;
    for (auto& thread : ioThreads) {
        thread.join();
    }
}

// A device that counts the IO cycles reaching its streaming engine once told to.
class CountingDevice : public SA_DeviceUSB
{
public:
    using SA_DeviceUSB::SA_DeviceUSB;

    void ReadInputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, void* buffer,
                       UInt32 bufferChannels) override
    {
        fCyclesAfterMark += fMarked ? 1 : 0;
        SA_DeviceUSB::ReadInputData(streamID, frames, sampleTime, buffer, bufferChannels);
    }

    void WriteOutputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime, const void* buffer,
                         UInt32 channels) override
    {
        fCyclesAfterMark += fMarked ? 1 : 0;
        SA_DeviceUSB::WriteOutputData(streamID, frames, sampleTime, buffer, channels);
    }

    std::atomic<bool> fMarked{false};
    std::atomic<int> fCyclesAfterMark{0};
};

class StreamingStress : public DeviceFixture
{};

// IO cycles with zero timestamps, the chase timer, the driver's stream, a property reader, and a
// thread starting and stopping IO, changing the rate and sleeping and waking, all at once; then
// the device goes while IO runs.
TEST_F(StreamingStress, EverythingAtOnceThenDeactivate)
{
    UseModel(Model::Brio);
    fService.setStreamingHeadersVersion(uint8_t(2));
    auto& device = Activate<CountingDevice>();
    StreamFormat format;
    format.fInputStride = device.GetInIsocInfo().fFamily[0].fMaxPacket;
    format.fHeaders = true;
    fService.setStreaming(format);

    const UInt32 inChannels = device.GetInputChannels() + device.GetExtraInputChannels();
    const IOConfiguration io{fDeviceID,
                             1,
                             512,
                             48000,
                             16,
                             16,
                             {{device.GetInputStreamID(), true, 4 * inChannels},
                              {device.GetOutputStreamID(), false, 4 * device.GetOutputChannels()}}};
    // The audio server's IO thread for client 1, made again after every change, as the server
    // restarts its clients.
    std::unique_ptr<IORunner> runner;
    const auto startRunner = [&] {
        runner = std::make_unique<IORunner>(
            SA_DriverRef(), io,
            [](const AudioServerPlugInIOCycleInfo&, const std::vector<IOBuffer>&, std::vector<IOBuffer>&) {});
        return runner->Start() == 0;
    };
    // Lets the IO thread run a few cycles; false when it does not within 10 s.
    const auto cyclesPass = [&runner](UInt64 count) {
        const UInt64 start = runner->CycleCount();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (runner->CycleCount() < start + count) {
            if (std::chrono::steady_clock::now() > limit || runner->EndedByPlugIn()) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    };

    std::atomic<bool> stop{false};
    std::thread reader([&] {
        const AudioObjectPropertySelector selectors[] = {
            kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyDeviceIsRunning,
            kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyOwnedObjects,
            kAudioDevicePropertyStreams};
        while (!stop) {
            for (AudioObjectPropertySelector selector : selectors) {
                const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
                UInt8 buffer[1024];
                UInt32 size = 0;
                device.GetPropertyData(fDeviceID, 0, address, 0, nullptr, sizeof(buffer), size, buffer);
            }
        }
    });
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(startRunner());
        EXPECT_TRUE(cyclesPass(5));
        ASSERT_EQ(device.StartIO(2), 0);
        EXPECT_TRUE(cyclesPass(5));
        ASSERT_EQ(device.StopIO(2), 0);
        // Sleep and wake while the IO thread runs.
        SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemWillSleep);
        SA_Device::PowerChangeNotification(&device, KorvanServiceClient::kSystemHasPoweredOn);
        runner->Stop();
        // The change the host grants on its own thread while its clients are stopped.
        device.SetSampleRate(48000);
        device.PerformConfigChange(SA_Device::kConfigChangeAction, &device);
    }

    ASSERT_TRUE(startRunner());
    EXPECT_TRUE(cyclesPass(10));
    device.Deactivate();
    device.fMarked = true;
    EXPECT_FALSE(device.GetIOLock().TryLock());
    EXPECT_TRUE(cyclesPass(5)) << "IO cycles go on after the device went";
    stop = true;
    reader.join();
    runner->Stop();
    EXPECT_EQ(device.fCyclesAfterMark.load(), 0) << "an IO cycle entered after Deactivate";
    SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
    fDevice = nullptr;
}

// A streaming device whose IO thread is the test's thread.
class ChaseBufferStress : public DeviceFixture
{
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        UseModel(Model::Brio);
        fService.setStreamingHeadersVersion(uint8_t(2));
        SA_DeviceUSB& device = Activate();
        StreamFormat format;
        format.fInputStride = device.GetInIsocInfo().fFamily[0].fMaxPacket;
        format.fHeaders = true;
        fService.setStreaming(format);
        SubmitFirstOutputBlock();
        ASSERT_EQ(device.StartIO(1), 0);
        fChannels = device.GetInputChannels() + device.GetExtraInputChannels();
        fPeriod = device.GetZeroTimeSamplePeriod();
    }

    void TearDown() override
    {
        EXPECT_EQ(fDevice->StopIO(1), 0);
        DeviceFixture::TearDown();
    }

    // Waits, on the real clock, until chases other than the reads' own have copied `frames` more.
    bool TimerChases(UInt64 frames) const
    {
        const UInt64 start = fDevice->GetInputSampleFramesCopied();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fDevice->GetInputSampleFramesCopied() < start + frames) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    // An IO cycle's read of `frames` frames from chase-buffer frame `first` on.
    void Read(UInt64 first, UInt32 frames)
    {
        std::vector<float> buffer(std::size_t(frames) * fChannels);
        const Float64 sampleTime = Float64(first + fPeriod - fDevice->GetBufferSyncOffsetSamples() % fPeriod);
        fDevice->ReadInputData(fDevice->GetInputStreamID(), frames, sampleTime, buffer.data(), fChannels);
    }

    UInt32 fChannels = 0;
    UInt64 fPeriod = 0;
};

// The IO thread reads the frames last chased and then stalls, so the chase timer takes over and
// writes, a period later, where the IO thread read; the sanitizer sees the two ordered.
TEST_F(ChaseBufferStress, TimerWritesAfterAStalledIOThreadsRead)
{
    constexpr UInt32 kFrames = 512;
    ASSERT_TRUE(TimerChases(kFrames));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // Chase-buffer frames [chased - kFrames, chased): the timer has written them.
        const UInt64 chased = fDevice->GetInputSampleFramesCopied();
        Read((chased - kFrames) % fPeriod, kFrames);
        ASSERT_TRUE(TimerChases(fPeriod + kFrames));
    }
}

// The IO thread comes back while the timer is in the middle of a chase, and reads the whole chase
// buffer: it never reads frames the timer is writing.
TEST_F(ChaseBufferStress, IOThreadReturningMidChaseReadsNothingBeingWritten)
{
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(TimerChases(1));
        Read(0, UInt32(fPeriod));
    }
}

} // namespace
