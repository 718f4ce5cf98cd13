#include "DeviceFixture.h"

#include <IOKit/IOReturn.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace DeviceTesting;

namespace {

class ClientTeardownStress : public DeviceFixture
{};

// The audio server starts IO, or performs a configuration change, on its own thread again and
// again while the device's service goes and Deactivate closes and frees the driver client: no call
// uses the client being freed, and none reaches the driver once the device is gone.
TEST_F(ClientTeardownStress, CallsOfTheAudioServerDuringDeactivate)
{
    const struct
    {
        const char* name;
        std::function<OSStatus(SA_DeviceUSB&)> call;
        // What the call answers once the device is gone.
        OSStatus whenGone;
    } cases[] = {
        {"StartIO",
         [](SA_DeviceUSB& device) {
             const OSStatus status = device.StartIO(1);
             if (status == 0) {
                 device.StopIO(1);
             }
             return status;
         },
         OSStatus(kIOReturnNotOpen)},
        {"PerformConfigChange",
         [](SA_DeviceUSB& device) {
             device.PerformConfigChange(SA_Device::kConfigChangeAction, &device);
             return OSStatus(0);
         },
         0},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        SA_DeviceUSB& device = Activate();
        SubmitFirstOutputBlock();
        std::atomic<bool> gone{false};
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::atomic<int> callsAfterGone{0};
        std::atomic<int> unexpectedAnswers{0};
        std::thread server([&] {
            while (!stop) {
                const bool after = gone;
                const OSStatus status = testCase.call(device);
                if (after) {
                    unexpectedAnswers += status != testCase.whenGone ? 1 : 0;
                    ++callsAfterGone;
                }
                ++calls;
            }
        });
        EXPECT_TRUE(DarwinTesting::eventually([&] { return calls >= 3; }));
        device.Deactivate();
        const std::size_t driverCalls = AudioCalls().size();
        gone = true;
        EXPECT_TRUE(DarwinTesting::eventually([&] { return callsAfterGone >= 3; }));
        stop = true;
        server.join();
        EXPECT_EQ(unexpectedAnswers.load(), 0);
        EXPECT_EQ(AudioCalls().size(), driverCalls) << "the driver was called after the device went";
        SA_ObjectMap::UnmapObject(fDeviceID, fDevice);
        fDevice = nullptr;
        Renew();
    }
}

} // namespace
