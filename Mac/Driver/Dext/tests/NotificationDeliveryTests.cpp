#include "DextDevice.h"
#include "DextTestSupport.h"
#include "DirectConnection.h"

#include <KorvanDeviceIO.h>

#include <DarwinTesting/LogCapture.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::Completions;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

using DextTesting::kBadArgument;
constexpr IOReturn kBusy = static_cast<IOReturn>(0xE00002D5);

using Record = std::vector<uint8_t>;

class DextNotificationDelivery : public DextTesting::DextDeviceTest
{
protected:
    static void SetUpTestSuite() { DextTesting::keepConnections(); }

    void SetUp() override
    {
        attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
        connect = open();
        direct = DextTesting::lastConnection();
        ASSERT_TRUE(direct);
    }

    void TearDown() override
    {
        direct.reset();
        DextDeviceTest::TearDown();
    }

    IOReturn registerFor(Record& buffer, Completions& completions)
    {
        size_t size = buffer.size();
        return direct->callStructMethod(3, nullptr, 0, buffer.data(), &size, completions.action());
    }

    void sendStatus(uint8_t last) { model->sendStatus({0x00, 0x01, 0x00, 0x01, 0x00, last}); }

    // Waits until `count` lines start with `prefix`; fails after the deadline.
    static bool waitForLines(const DarwinTesting::LogCapture& capture, const std::string& prefix,
                             size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (DextTesting::countLines(capture, prefix) < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::shared_ptr<DriverKitPlatform::UserClientConnection> direct;
};

TEST_F(DextNotificationDelivery, FourWaitForRegistrationsAndTheFifthIsDropped)
{
    DarwinTesting::LogCapture capture;
    for (uint8_t i = 1; i <= 5; ++i) {
        sendStatus(i);
    }
    ASSERT_TRUE(waitForLines(capture, "Notification queue is full! (", 1));

    Completions completions;
    std::vector<Record> buffers(5, Record(4132, 0xEE));
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(registerFor(buffers[i], completions), kIOReturnSuccess);
    }
    EXPECT_EQ(completions.waitFor(4), (std::vector<IOReturn>(4, kIOReturnSuccess)));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(buffers[i][28], 0) << "type 0";
        EXPECT_EQ(buffers[i][32], 6) << "length";
        EXPECT_EQ(buffers[i][36 + 5], i + 1) << "in the order they came";
        EXPECT_EQ(buffers[i][0], 0) << "the prefix is zero";
    }

    ASSERT_EQ(registerFor(buffers[4], completions), kIOReturnSuccess);
    EXPECT_EQ(completions.settled().size(), 4u) << "the fifth waits";
    sendStatus(6);
    EXPECT_EQ(completions.waitFor(5).size(), 5u);
    EXPECT_EQ(buffers[4][36 + 5], 6);
}

TEST_F(DextNotificationDelivery, OnlyARecordCompletesARegistration)
{
    Completions held;
    Record heldBuffer(4132, 0xEE);
    ASSERT_EQ(registerFor(heldBuffer, held), kIOReturnSuccess);

    Completions second;
    Record secondBuffer(4132, 0xEE);
    EXPECT_EQ(registerFor(secondBuffer, second), kBusy);
    Completions shortOne;
    Record shortBuffer(4131, 0xEE);
    EXPECT_EQ(registerFor(shortBuffer, shortOne), kBadArgument);
    size_t size = heldBuffer.size();
    EXPECT_EQ(direct->callStructMethod(3, nullptr, 0, heldBuffer.data(), &size, nullptr), kBadArgument);
    EXPECT_EQ(second.settled(), (std::vector<IOReturn>{kBusy}));
    EXPECT_EQ(shortOne.settled(), (std::vector<IOReturn>{kBadArgument}));
    EXPECT_TRUE(held.settled().empty());

    sendStatus(9);
    EXPECT_EQ(held.waitFor(1), (std::vector<IOReturn>{kIOReturnSuccess}));
    EXPECT_EQ(heldBuffer[36 + 5], 9);
    EXPECT_EQ(secondBuffer[36 + 5], 0xEE);
}

TEST_F(DextNotificationDelivery, AStatusReadThatCannotBeQueuedAgainStillReportsItsPacket)
{
    DarwinTesting::LogCapture capture;
    // The only transfers queued from now on are the status reads' re-queues.
    DriverKitTesting::failNextCalls(nullptr, DriverKitTesting::USBCall::AsyncIO, 1, kIOReturnNoResources);
    Completions completions;
    std::vector<Record> buffers(2, Record(4132, 0xEE));
    ASSERT_EQ(registerFor(buffers[0], completions), kIOReturnSuccess);
    sendStatus(7);
    EXPECT_EQ(completions.waitFor(1), (std::vector<IOReturn>{kIOReturnSuccess}));
    EXPECT_EQ(buffers[0][32], 6);
    EXPECT_EQ(buffers[0][36 + 5], 7);
    EXPECT_TRUE(DextTesting::logged(capture, "UAC IN IO ERR e00002be"));

    ASSERT_EQ(registerFor(buffers[1], completions), kIOReturnSuccess);
    sendStatus(8);
    EXPECT_EQ(completions.waitFor(2).size(), 2u);
    EXPECT_EQ(buffers[1][36 + 5], 8);

    SimUSB::Bus::shared().detach(kPort);
    ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
    model.reset();
    EXPECT_EQ(DextTesting::countLines(capture, "UACInReadCompletionProc - Error e00002eb"), 7u)
        << "only the slot whose re-queue failed is gone";
}

TEST_F(DextNotificationDelivery, StrayCompletionIsDeliveredAtOnce)
{
    DarwinTesting::LogCapture capture;
    Completions completions;
    GetPropertyRequest request{1};
    std::vector<uint8_t> output(4104, 0);
    size_t size = output.size();
    EXPECT_EQ(
        direct->callStructMethod(2, &request, sizeof(request), output.data(), &size, completions.action()),
        kIOReturnSuccess);
    EXPECT_EQ(completions.settled(), (std::vector<IOReturn>{kIOReturnSuccess}));
    EXPECT_TRUE(
        DextTesting::logged(capture, "TideUserClient::ExternalMethod - async completion was not registered"));
}

TEST_F(DextNotificationDelivery, MemoryIsRefusedOnceTheDeviceIsGone)
{
    IOKitPlatform::SharedMemory memory;
    EXPECT_EQ(direct->sharedMemory(1, &memory), kIOReturnSuccess);
    SimUSB::Bus::shared().detach(kPort);
    ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
    model.reset();
    EXPECT_EQ(direct->sharedMemory(1, &memory), static_cast<IOReturn>(0xE00002D9));
}

} // namespace
