#pragma once

// A USB device on the scripted driver, with a host that records what it is told and the plug-in's
// work loop on a thread of its own.

#include "DescriptorFixtures.h"
#include "FakeKernelUserClient.h"
#include "LogLines.h"
#include "RecordingHost.h"
#include "SA_DeviceUSB.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "WorkLoopThread.h"

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <gtest/gtest.h>
#include <mach/mach_time.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace DeviceTesting {

inline std::vector<uint8_t> RateBytes(uint32_t rate)
{
    return {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)};
}

class DeviceFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        Host_SetHost(fHost.Ref());
        fPlugInThread.Start();
        UseModel(KorvanInterface::Model::Wrenlet);
        fService.setCurValue(KorvanInterface::Entity::kClockSelector, 1, {1});
        fService.setCurValue(KorvanInterface::Entity::kClockSource, 1, RateBytes(48000));
    }

    void TearDown() override
    {
        if (fDevice != nullptr) {
            fDevice->Deactivate();
            SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
        }
        fPlugInThread.Stop();
        Host_SetHost(nullptr);
    }

    void UseModel(KorvanInterface::Model model,
                  KorvanInterface::Variant variant = KorvanInterface::Variant::Standard)
    {
        const auto options = KorvanInterface::variantOptions(model, kVendorID, variant);
        fService.setDescriptors(KorvanInterface::buildDescriptors(options).configuration);
        KorvanDeviceIO::DeviceInfoRequest identity{};
        std::strncpy(identity.fUID, "dev00001", sizeof(identity.fUID) - 1);
        std::strncpy(identity.fProductName, options.product.c_str(), sizeof(identity.fProductName) - 1);
        fService.setIdentity(identity);
    }

    // Publishes the service and makes and activates the device, as the plug-in object does.
    template <typename Device = SA_DeviceUSB>
    Device& Activate(bool publish = true)
    {
        if (publish) {
            fService.publish();
        }
        fDeviceID = SA_ObjectMap::GetNextObjectID();
        const io_service_t handle = fService.copyHandle();
        auto* device = new Device(fDeviceID, KorvanService(handle, KorvanService::kBusTypeUSB),
                                  fPlugInThread.fWorkLoop.get());
        fDevice = device;
        IOObjectRelease(handle);
        SA_ObjectMap::MapObject(fDeviceID, fDevice);
        fDevice->Activate();
        return *device;
    }

    // Output block 0 gets a host time already passed, so a start finds output running at once.
    void SubmitFirstOutputBlock(uint64_t frames = 480)
    {
        auto* ring = reinterpret_cast<KorvanDeviceIO::USBRequestBlock*>(
            fService.ring(KorvanDeviceIO::kOutputRingMemoryType));
        const uint64_t bytesPerFrame =
            uint64_t(fDevice->GetBusBytesPerSample()) * fDevice->GetOutputChannels();
        KorvanDeviceIO::WriteBlockHeader(ring[0], {mach_absolute_time(), 0, 0, frames * bytesPerFrame});
    }

    // Waits, on the real clock, until the log holds `count` of `line`.
    bool WaitForLogLines(const std::string& line, int count) const
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fLog.count(line) < count) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    // Starts audio on the manual clock while output block 0 never gets a host time: the start gives
    // up after 200 ms.
    OSStatus StartWithoutOutput(DarwinTesting::ManualClock& clock)
    {
        auto* ring = reinterpret_cast<KorvanDeviceIO::USBRequestBlock*>(
            fService.ring(KorvanDeviceIO::kOutputRingMemoryType));
        KorvanDeviceIO::WriteBlockHeader(ring[0], {0, 0, 0, 0});
        const uint64_t begin = mach_absolute_time();
        auto start = std::async(std::launch::async, [this] { return fDevice->StartAudio(); });
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (start.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "the start never gave up";
                break;
            }
            clock.advance(std::chrono::microseconds(125));
        }
        const OSStatus status = start.get();
        EXPECT_GE(mach_absolute_time() - begin, SA_DeviceUSB::kStartDeadlineNs);
        return status;
    }

    // The stepped driver's stream for the activated device, moving `clock`.
    PlugInTesting::StreamFormat SteppedFormat(DarwinTesting::ManualClock& clock, bool headers) const
    {
        PlugInTesting::StreamFormat format;
        format.fInputStride = fDevice->GetInIsocInfo().fFamily[0].fMaxPacket;
        format.fBytesPerSample = fDevice->GetBusBytesPerSample();
        format.fHeaders = headers;
        format.fSteppedClock = &clock;
        return format;
    }

    // Starts IO on the stepped driver, which the test steps packet by packet until the start
    // returns: it waits for output block 0's host time, then for that time to come.
    OSStatus StartOnSteppedDriver(const PlugInTesting::StreamFormat& format)
    {
        fService.setStreaming(format);
        auto start = std::async(std::launch::async, [this] { return fDevice->StartIO(1); });
        const auto ready = [&start] {
            return start.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
        };
        // Time stands until the driver streams.
        EXPECT_TRUE(DarwinTesting::eventually([&] { return fService.runState() != 0 || ready(); }));
        const auto limit = std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
        while (!ready()) {
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "the start never returned";
                break;
            }
            fService.advance(1);
        }
        return start.get();
    }

    // A new device and driver for the next case of a table.
    void Renew()
    {
        TearDown();
        fDevice = nullptr;
        SetUp();
    }

    static bool Admits(IOLock& lock)
    {
        if (!lock.TryLock()) {
            return false;
        }
        lock.Unlock();
        return true;
    }

    std::vector<uint32_t> AudioCalls() const
    {
        std::vector<uint32_t> selectors;
        for (const PlugInTesting::MethodCall& call : fService.calls()) {
            if (call.fClientType == PlugInTesting::kAudioClientType) {
                selectors.push_back(call.fSelector);
            }
        }
        return selectors;
    }

    PlugInTesting::LogLines fLog;
    PlugInTesting::RecordingHost fHost;
    PlugInTesting::FakeKernelService fService{"dev00001"};
    WorkLoopThread2 fPlugInThread;
    AudioObjectID fDeviceID = 0;
    SA_DeviceUSB* fDevice = nullptr;
};

} // namespace DeviceTesting
