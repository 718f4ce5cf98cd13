#include "FakeReenumerator.h"
#include "LogLines.h"
#include "ResetThread.h"
#include "RunOnLoop.h"
#include "WorkLoop.h"
#include "WorkLoopThread.h"
#include <DarwinTesting/Eventually.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace PlugInTesting;
using namespace std::chrono_literals;

namespace {

constexpr const char* kEventHandler = ResetUACDevicesTimer::kEventHandlerName;

class ResetUACRequests : public testing::Test
{
protected:
    void TearDown() override { fThread.Stop(); }

    // Fires the timer once and waits for its request to reach the daemon, then for the request
    // to end without the clock moving: an item queued behind it runs.
    void NextRequest(int expectedMessages)
    {
        fClock.advance(5s);
        ASSERT_TRUE(fDaemon.waitForMessages(expectedMessages));
        ASSERT_TRUE(RunOnLoop(*fThread.fWorkLoop, [] {})) << "the request still waits for the clock";
    }

    LogLines fLog;
    DarwinTesting::ManualClock fClock;
    FakeReenumerator fDaemon;
    ResetThread fThread;
};

TEST_F(ResetUACRequests, SevenRequestsEachEndingAtTheDaemonsCancel)
{
    const uint64_t start = DarwinClock::hostNow();
    fThread.Start();
    ASSERT_TRUE(fDaemon.waitForMessages(1));
    // Fault: an error event woke the waiter without ending its wait, so each request held the
    // loop for the full 5 s.
    ASSERT_TRUE(RunOnLoop(*fThread.fWorkLoop, [] {}));
    EXPECT_EQ(DarwinClock::hostNow(), start);
    for (int request = 2; request <= 7; ++request) {
        SCOPED_TRACE(request);
        NextRequest(request);
        EXPECT_EQ(DarwinClock::hostNow(), start + uint64_t(request - 1) * 5'000'000'000);
    }
    EXPECT_EQ(fDaemon.resetCount(), 7);
    EXPECT_EQ(fDaemon.messageCount(), 7);
    EXPECT_EQ(fDaemon.peerCount(), 7);
    EXPECT_EQ(fLog.count("void ResetUACDevicesTimer::Impl::ResetUAC() "), 7);
    EXPECT_EQ(fLog.count(std::string(kEventHandler) + " - xpc_error (Connection interrupted)"), 7);
    // The timer went with the seventh request: nothing more is sent however long time runs.
    fClock.advance(30s);
    EXPECT_EQ(fDaemon.messageCount(), 7);
    EXPECT_TRUE(fLog.contains("void ResetUACDevicesTimer::Impl::Start(WorkLoop *)"));
}

TEST_F(ResetUACRequests, StopBeforeTheFirstFireLeavesOneRequest)
{
    fThread.Start();
    ASSERT_TRUE(fDaemon.waitForMessages(1));
    ASSERT_TRUE(RunOnLoop(*fThread.fWorkLoop, [this] { fThread.fTimer.Stop(); }));
    fClock.advance(40s);
    EXPECT_EQ(fDaemon.messageCount(), 1);
    EXPECT_TRUE(fLog.contains("void ResetUACDevicesTimer::Impl::Stop()"));
}

TEST(ResetUACNoDaemon, SevenRequestsEachEndingAtConnectionInvalid)
{
    LogLines log;
    DarwinTesting::ManualClock clock;
    ResetThread thread;
    thread.Start();
    auto requestsEnded = [&](int count) {
        return DarwinTesting::eventually([&] {
                   return log.count(std::string(kEventHandler) + " - xpc_error (Connection invalid)") >=
                          count;
               }) &&
               RunOnLoop(*thread.fWorkLoop, [] {});
    };
    ASSERT_TRUE(requestsEnded(1));
    for (int request = 2; request <= 7; ++request) {
        clock.advance(5s);
        ASSERT_TRUE(requestsEnded(request)) << request;
    }
    EXPECT_EQ(log.count("void ResetUACDevicesTimer::Impl::ResetUAC() "), 7);
    EXPECT_EQ(clock.nextDeadline(), DarwinClock::kNever);
    thread.Stop();
}

// A daemon that never ends the connection: the request gives up when the clock passes 5 s, and
// the connection's last event, which comes after, finds the request gone.
TEST(ResetUACSilentDaemon, RequestEndsAfterFiveSecondsAndTheLateEventTouchesNothing)
{
    LogLines log;
    DarwinTesting::ManualClock clock;
    FakeReenumerator daemon(FakeReenumerator::Mode::Silent);
    ResetUACDevicesTimer timer;
    std::atomic<bool> started{false};
    // The first request runs inside Start, on a thread whose loop is not running yet.
    std::thread starter([&] {
        WorkLoop loop;
        timer.Start(&loop);
        started = true;
        timer.Stop();
    });
    ASSERT_TRUE(daemon.waitForMessages(1));
    const uint64_t giveUp = DarwinClock::hostNow() + 5'000'000'000;
    // The request waits on the clock until 5 s after sending.
    ASSERT_TRUE(DarwinTesting::eventually([&] { return clock.nextDeadline() == giveUp; }));
    clock.advanceTo(giveUp - 1);
    EXPECT_EQ(clock.nextDeadline(), giveUp) << "given up before 5 s";
    EXPECT_FALSE(started);
    clock.advanceTo(giveUp);
    starter.join();
    EXPECT_TRUE(started);
    EXPECT_TRUE(DarwinTesting::eventually(
        [&] { return log.contains(std::string(kEventHandler) + " - xpc server took too long"); }));
    EXPECT_TRUE(log.contains("void WithXpcConnection::cancel() - calling xpc_connection_cancel"));
    EXPECT_EQ(daemon.resetCount(), 1);
}

} // namespace
