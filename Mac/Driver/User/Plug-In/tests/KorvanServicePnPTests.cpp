#include "FakeKernelUserClient.h"
#include "LogLines.h"
#include "PnPWatcher.h"
#include "RunOnLoop.h"
#include <DarwinTesting/Eventually.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/ScopedTimebase.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

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
    // The marker's report, published after it, shows that the second handle has been seen.
    sameUID.publish();
    FakeKernelService published("marker01");
    published.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    // Counted as the known service: its termination ends the known one.
    known.terminate();
    ASSERT_TRUE(fWatcher.WaitForReports(3));
    // Now unknown: no report.
    sameUID.terminate();
    FakeKernelService marker("marker02");
    marker.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(4));
    const std::vector<ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1].fUID, "marker01");
    EXPECT_FALSE(reports[2].fRegistered);
    EXPECT_EQ(reports[2].fService, knownHandle);
    EXPECT_TRUE(reports[3].fRegistered);
    EXPECT_EQ(reports[3].fUID, "marker02");
    IOObjectRelease(knownHandle);
}

TEST_F(KorvanServiceMatching, DisablingEndsReportsAndFreesTheKnownServicesSilently)
{
    FakeKernelService known("known002");
    known.publish();
    const io_service_t handle = known.copyHandle();
    fWatcher.Start();
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    // The report's own copy of the service is gone once the loop has finished its pass.
    ASSERT_TRUE(RunOnLoop(*fWatcher.fWorkLoop, [] {}));
    const uint32_t watched = IOObjectGetUserRetainCount(handle);
    fWatcher.Disable();
    EXPECT_EQ(IOObjectGetUserRetainCount(handle), watched - 1) << "the watcher's copy is gone";
    FakeKernelService later("later001");
    later.publish();
    known.terminate();
    // Both changes have reached the loop's port by now; a pass serves the port before the item.
    ASSERT_TRUE(RunOnLoop(*fWatcher.fWorkLoop, [] {}));
    EXPECT_EQ(fWatcher.Reports().size(), 1u);
    IOObjectRelease(handle);
}

// Fault: two empty UIDs compared equal, so the second service was never reported and its
// termination ended the first. (Each reading waits its 100 ms on the real clock here.)
TEST_F(KorvanServiceMatching, TwoServicesWithoutUIDStayTwo)
{
    FakeKernelService first("first002", FakeKernelService::UIDOrder::AfterPublish);
    FakeKernelService second("second02", FakeKernelService::UIDOrder::AfterPublish);
    const io_service_t firstHandle = first.copyHandle();
    const io_service_t secondHandle = second.copyHandle();
    fWatcher.Start();
    first.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    second.publish();
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    second.terminate();
    ASSERT_TRUE(fWatcher.WaitForReports(3));
    first.terminate();
    ASSERT_TRUE(fWatcher.WaitForReports(4));
    const std::vector<ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_TRUE(reports[0].fRegistered && reports[0].fUID.empty() && reports[0].fService == firstHandle);
    EXPECT_TRUE(reports[1].fRegistered && reports[1].fUID.empty() && reports[1].fService == secondHandle);
    EXPECT_TRUE(!reports[2].fRegistered && reports[2].fService == secondHandle);
    EXPECT_TRUE(!reports[3].fRegistered && reports[3].fService == firstHandle);
    IOObjectRelease(firstHandle);
    IOObjectRelease(secondHandle);
}

// A service published as the kernel driver does, before its UID property: the reading waits
// 100 ms on the manual clock and reads once more, whatever the host's timebase (125 / 3 counts 24
// ticks a microsecond; fault: the wait took ticks for nanoseconds).
class KorvanServiceUID : public testing::TestWithParam<std::pair<uint32_t, uint32_t>>
{
protected:
    // Reads the service on a thread of its own, which the test lets through the 100 ms; `during`
    // runs at 50 ms.
    std::string ReadUID(std::function<void()> during)
    {
        const io_service_t handle = fService.copyHandle();
        std::string uid = "unread";
        std::atomic<bool> read = false;
        std::thread reader([&] {
            uid = KorvanService(handle, KorvanService::kBusTypeUSB).GetUID();
            read = true;
        });
        const uint64_t retryDeadline = DarwinClock::hostNow() + 100'000'000;
        EXPECT_TRUE(DarwinTesting::eventually([&] { return fClock.nextDeadline() == retryDeadline; }))
            << "the reader sleeps before reading again";
        if (during) {
            DarwinClock::scheduleAlarm(DarwinClock::hostNow() + 50'000'000, during, "during the retry");
        }
        fClock.advance(100ms);
        if (!DarwinTesting::eventually([&] { return read.load(); })) {
            ADD_FAILURE() << "the reader still sleeps after 100 ms";
            fClock.advance(10s);
        }
        reader.join();
        IOObjectRelease(handle);
        return uid;
    }

    LogLines fLog;
    DarwinTesting::ManualClock fClock;
    DarwinTesting::ScopedTimebase fTimebase{GetParam().first, GetParam().second};
    FakeKernelService fService{"late0001", FakeKernelService::UIDOrder::AfterPublish};
};

TEST_P(KorvanServiceUID, UIDSetDuringTheRetrySleepIsRead)
{
    fService.publish();
    EXPECT_EQ(ReadUID([this] { fService.setUID(); }), "late0001");
    EXPECT_TRUE(fLog.contains("Korvan service late0001"));
}

TEST_P(KorvanServiceUID, UIDNeverSetIsEmpty)
{
    fService.publish();
    EXPECT_EQ(ReadUID(nullptr), "");
}

INSTANTIATE_TEST_SUITE_P(Timebases, KorvanServiceUID,
                         testing::Values(std::pair{1u, 1u}, std::pair{125u, 3u}));

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
