#include "FakeKernelUserClient.h"
#include "LogLines.h"
#include "PnPWatcher.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace PlugInTesting;

namespace {

using namespace std::chrono_literals;

// The handle value of a fake's service, as the watcher reports it.
io_service_t HandleOf(const FakeKernelService& service)
{
    const io_service_t handle = service.copyHandle();
    IOObjectRelease(handle);
    return handle;
}

class KorvanServiceMatching : public testing::Test
{
protected:
    void TearDown() override { fWatcher.Stop(); }

    LogLines fLog;
    PnPWatcher fWatcher;
};

TEST_F(KorvanServiceMatching, ReportsEachServiceOnceFromTheFirstPassAndFromNotifications)
{
    FakeKernelService before("before01");
    before.publish();
    fWatcher.Start();
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    FakeKernelService after("after001");
    after.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    // Published again, and another handle with a UID already known: neither is new.
    after.publish();
    FakeKernelService sameUID("after001");
    sameUID.publish();
    FakeKernelService marker("marker01");
    marker.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(3));
    const std::vector<ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_TRUE(reports[0].fRegistered && reports[0].fUID == "before01" &&
                reports[0].fService == HandleOf(before));
    EXPECT_TRUE(reports[1].fRegistered && reports[1].fUID == "after001" &&
                reports[1].fService == HandleOf(after));
    EXPECT_TRUE(reports[2].fRegistered && reports[2].fUID == "marker01");
    EXPECT_TRUE(fLog.contains("Korvan service before01"));
}

TEST_F(KorvanServiceMatching, TerminationReportsOnlyKnownServices)
{
    FakeKernelService known("known001");
    FakeKernelService sameUID("known001");
    const io_service_t knownHandle = known.copyHandle();
    known.publish();
    fWatcher.Start();
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    sameUID.publish();
    // Counted as the known service: its termination ends the known one.
    known.terminate();
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    // Now unknown: no report.
    sameUID.terminate();
    FakeKernelService marker("marker02");
    marker.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(3));
    const std::vector<ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_FALSE(reports[1].fRegistered);
    EXPECT_EQ(reports[1].fService, knownHandle);
    EXPECT_TRUE(reports[2].fRegistered);
    EXPECT_EQ(reports[2].fUID, "marker02");
    IOObjectRelease(knownHandle);
}

TEST_F(KorvanServiceMatching, DisablingEndsReportsAndFreesTheKnownServicesSilently)
{
    FakeKernelService known("known002");
    known.publish();
    const io_service_t handle = known.copyHandle();
    fWatcher.Start();
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    const uint32_t watched = IOObjectGetUserRetainCount(handle);
    fWatcher.Disable();
    EXPECT_EQ(IOObjectGetUserRetainCount(handle), watched - 1) << "the watcher's copy is gone";
    FakeKernelService later("later001");
    later.publish();
    known.terminate();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fWatcher.Reports().size(), 1u);
    IOObjectRelease(handle);
}

// Services published as the kernel driver does, before their UID property. The watch is armed
// (a service with a UID has been reported) before they come, so the readings happen in passes the
// notifications start.
class KorvanServiceUID : public KorvanServiceMatching
{
protected:
    void SetUp() override
    {
        fArmed.publish();
        fWatcher.Start();
        ASSERT_TRUE(fWatcher.WaitForReports(1));
    }

    // Waits until the watcher's thread reads the service's UID: its reading holds two references
    // to the handle beside the test's own. The thread then sleeps its 100 ms before reading again.
    bool WaitForReading(const FakeKernelService& service)
    {
        const io_service_t handle = service.copyHandle();
        const auto limit = std::chrono::steady_clock::now() + 30s;
        while (IOObjectGetUserRetainCount(handle) < 3 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
        const bool reading = IOObjectGetUserRetainCount(handle) >= 3;
        IOObjectRelease(handle);
        std::this_thread::sleep_for(20ms);
        return reading;
    }

    DarwinTesting::ManualClock fClock;
    FakeKernelService fArmed{"armed001"};
};

TEST_F(KorvanServiceUID, UIDSetDuringTheRetrySleepIsRead)
{
    FakeKernelService late("late0001", FakeKernelService::UIDOrder::AfterPublish);
    late.publish();
    ASSERT_TRUE(WaitForReading(late));
    DarwinClock::scheduleAlarm(
        DarwinClock::hostNow() + 50'000'000, [&] { late.setUID(); }, "set the UID");
    fClock.advance(100ms);
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    EXPECT_EQ(fWatcher.Reports()[1].fUID, "late0001");
}

TEST_F(KorvanServiceUID, UIDNeverSetIsEmptyAndTwoSuchServicesStayTwo)
{
    FakeKernelService first("first002", FakeKernelService::UIDOrder::AfterPublish);
    FakeKernelService second("second02", FakeKernelService::UIDOrder::AfterPublish);
    const io_service_t firstHandle = first.copyHandle();
    const io_service_t secondHandle = second.copyHandle();
    auto afterRetry = [&](const FakeKernelService& service, size_t reports) {
        ASSERT_TRUE(WaitForReading(service));
        fClock.advance(100ms);
        ASSERT_TRUE(fWatcher.WaitForReports(reports));
    };
    first.publish();
    afterRetry(first, 2);
    second.publish();
    afterRetry(second, 3);
    // Fault: two empty UIDs compared equal, so the second service was never reported and its
    // termination ended the first.
    second.terminate();
    afterRetry(second, 4);
    first.terminate();
    afterRetry(first, 5);
    const std::vector<ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 5u);
    EXPECT_TRUE(reports[1].fRegistered && reports[1].fUID.empty() && reports[1].fService == firstHandle);
    EXPECT_TRUE(reports[2].fRegistered && reports[2].fUID.empty() && reports[2].fService == secondHandle);
    EXPECT_TRUE(!reports[3].fRegistered && reports[3].fService == secondHandle);
    EXPECT_TRUE(!reports[4].fRegistered && reports[4].fService == firstHandle);
    IOObjectRelease(firstHandle);
    IOObjectRelease(secondHandle);
}

TEST(KorvanService, EqualityAndProperties)
{
    FakeKernelService a("same0001");
    FakeKernelService b("same0001");
    FakeKernelService empty1("", FakeKernelService::UIDOrder::AfterPublish);
    const io_service_t ha = a.copyHandle();
    const io_service_t hb = b.copyHandle();
    const io_service_t he = empty1.copyHandle();
    const KorvanService sa(ha, KorvanService::kBusTypeUSB);
    const KorvanService sa2(ha, KorvanService::kBusTypeUSB);
    const KorvanService sb(hb, KorvanService::kBusTypeUSB);
    const KorvanService none;
    EXPECT_TRUE(sa == sa2);
    EXPECT_TRUE(sa == sb);
    EXPECT_FALSE(sa == none);
    EXPECT_FALSE(none == none);
    KorvanService copy = sa;
    EXPECT_EQ(IOObjectGetUserRetainCount(ha), 4u);
    copy.Release();
    EXPECT_EQ(copy.GetService(), 0u);
    EXPECT_EQ(IOObjectGetUserRetainCount(ha), 3u);
    EXPECT_EQ(KorvanService::GetIORegStringProperty(ha, CFSTR("com_vork_driver_tide_device_UID")),
              "same0001");
    EXPECT_EQ(KorvanService::GetIORegStringProperty(he, CFSTR("com_vork_driver_tide_device_UID")), "");
    IOObjectRelease(ha);
    IOObjectRelease(hb);
    IOObjectRelease(he);
}

} // namespace
