#include "DextDevice.h"
#include "DextTestSupport.h"
#include "ScriptedControl.h"
#include "VorkAllocationCounter.h"

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

namespace {

using DextTesting::ScriptedControl;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr IOReturn kNoMemory = static_cast<IOReturn>(0xE00002BD);
constexpr const char* kUIDKey = "com_vork_driver_tide_device_UID";

// The driver's control service on a Wrenlet, with its provider creation scripted.
class DextScriptedControl : public DextTesting::DextDeviceTest
{
protected:
    void TearDown() override
    {
        DextDeviceTest::TearDown();
        if (model) {
            EXPECT_TRUE(DextTesting::waitForNoService("ScriptedControl"));
        }
    }

    void attachScripted(const DextTesting::Script& script)
    {
        // The class derives from the bundle's, which must be known first.
        DextTesting::registerDextDrivers();
        ScriptedControl::prepare(script);
        model = std::make_shared<KorvanInterface::KorvanDevice>(
            DescriptorOptions(Model::Wrenlet, DextTesting::kScriptedVendor));
        SimUSB::Bus::shared().attach(kPort, model);
        ASSERT_TRUE(DarwinTesting::eventually([] { return ScriptedControl::sStarted.load(); }))
            << "the control service never started";
    }
};

TEST_F(DextScriptedControl, WithoutAProviderTheStartFailsAndStops)
{
    DarwinTesting::LogCapture capture;
    attachScripted({DextTesting::Creation::Fails, 0});
    EXPECT_EQ(ScriptedControl::sStartResult.load(), kNoMemory);
    EXPECT_TRUE(ScriptedControl::sStopped.load());
    EXPECT_TRUE(DextTesting::logged(capture, "Couldn't create USBProvider"));
}

// The UID is a convenience for the plug-in: without it the service still starts and registers.
TEST_F(DextScriptedControl, StartsAndRegistersWhenTheUIDStringsCannotBeMade)
{
    DarwinTesting::LogCapture capture;
    attachScripted({DextTesting::Creation::ThenObjectsFail, 1});
    EXPECT_EQ(ScriptedControl::sStartResult.load(), kIOReturnSuccess);
    service = DextTesting::waitForService("ScriptedControl");
    ASSERT_NE(service, 0u) << "the service was not registered";
    EXPECT_EQ(DextTesting::stringProperty(service, kUIDKey), "");
    EXPECT_TRUE(DextTesting::logged(capture, "Couldn't create kTideAudio_RegistryKey_DeviceUID string"));
}

// Once streaming has settled, the bus queue and the frame snapshot queue allocate nothing.
TEST_F(DextScriptedControl, StreamingQueuesAllocateNothingAfterTheFirstCompletions)
{
    attachScripted({});
    service = DextTesting::waitForService("ScriptedControl");
    ASSERT_NE(service, 0u);
    connect = open();
    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
    com_vork_driver_tide_usb_provider* provider = ScriptedControl::sProvider.load();
    ASSERT_NE(provider, nullptr);
    com_vork_driver_tide_usb_io_stream* stream = provider->getStream();
    ASSERT_NE(stream, nullptr);
    // One block of output at 48 kHz: 160 microframes of 6 frames of 88 bytes.
    constexpr uint64_t kBlockBytes = 160 * 6 * 88;
    ASSERT_TRUE(DarwinTesting::eventually([&] { return stream->outputByteCount() >= 10 * kBlockBytes; }));

    IODispatchQueue* bus = provider->GetBusWorkLoop();
    IODispatchQueue* snapshots = nullptr;
    bus->DispatchSync([&] {
        snapshots = stream->GetFrameSnapshotQueue();
        if (snapshots != nullptr) {
            snapshots->retain();
        }
    });
    ASSERT_NE(snapshots, nullptr);
    OSSharedPtr<IODispatchQueue> heldSnapshots(snapshots, OSNoRetain);
    bus->DispatchSync([] { VorkTesting::markThread(true); });
    snapshots->DispatchSync([] { VorkTesting::markThread(true); });
    // A loaded machine makes the driver log late frame reads, and logging allocates: the claim is
    // about streaming with its diagnostics off, in a stretch that logged no error either.
    const DarwinTesting::DefaultLogDisabled diagnosticsOff;
    bool quiet = false;
    for (int window = 0; window < 5 && !quiet; ++window) {
        const DarwinTesting::LogCapture logged;
        const VorkTesting::MarkedThreadsAllocationCounter allocations;
        const uint64_t from = stream->outputByteCount();
        ASSERT_TRUE(
            DarwinTesting::eventually([&] { return stream->outputByteCount() >= from + 20 * kBlockBytes; }));
        const std::size_t allocated = allocations.count();
        quiet = logged.records().empty();
        if (quiet) {
            EXPECT_EQ(allocated, 0u);
        }
    }
    EXPECT_TRUE(quiet) << "every stretch of 20 blocks logged an error";
    bus->DispatchSync([] { VorkTesting::markThread(false); });
    snapshots->DispatchSync([] { VorkTesting::markThread(false); });
    EXPECT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);
}

} // namespace
