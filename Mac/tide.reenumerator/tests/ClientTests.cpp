#include "ReenumeratorContract.h"
#include "ReenumeratorTestSupport.h"
#include "ResetThread.h"
#include "RunOnLoop.h"
#include "WorkLoop.h"
#include "WorkLoopThread.h"

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <chrono>

using namespace ReenumeratorTesting;
using PlugInTesting::ResetThread;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kPort = 5;
constexpr const char* kResetLine = "void ResetUAC()";

// The real daemon behind the plug-in's contract: a Wrenlet the class driver holds, back at once
// after each re-enumeration and held again.
class RealDaemon
{
public:
    RealDaemon()
    {
        fBus.script().setReEnumerationDelay(0);
        fBus.attach(kPort, kVendor, kWrenlet);
        fBus.bindClassDriver(kPort);
    }

    int resets() const
    {
        fBus.settle();
        return int(fBus.script().reEnumerations().size());
    }

private:
    PlugInTesting::LogLines fLog;
    mutable TestBus fBus;
    Rebinder fRebinder{fBus};
    ListeningDaemon fDaemon;
};

INSTANTIATE_TYPED_TEST_SUITE_P(RealDaemon, ReenumeratorContract, testing::Types<RealDaemon>);

TEST(PlugInTimer, FirstOfSevenRequestsReEnumeratesTheHeldWrenletAndTheRestLeaveItAlone)
{
    DarwinTesting::ManualClock clock;
    PlugInTesting::LogLines log;
    TestBus bus;
    bus.attach(kPort, kVendor, kWrenlet);
    bus.bindClassDriver(kPort);
    {
        ListeningDaemon daemon;
        ResetThread thread;
        thread.Start();
        // The request has reached the daemon, and the loop has finished it without the clock moving.
        auto requests = [&](int count) {
            return DarwinTesting::eventually([&] { return log.count(kResetLine) >= count; }) &&
                   PlugInTesting::RunOnLoop(*thread.fWorkLoop, [] {});
        };
        ASSERT_TRUE(requests(1));
        for (int request = 2; request <= 7; ++request) {
            SCOPED_TRACE(request);
            clock.advance(5s);
            ASSERT_TRUE(requests(request));
        }
        bus.settle();
        EXPECT_TRUE(bus.present(kPort)) << "back after the re-enumeration";
        EXPECT_EQ(bus.script().reEnumerations(),
                  (std::vector<IOKitTesting::ReEnumeration>{{kPort, kVendor, kWrenlet, 0}}));
        clock.advance(30s);
        thread.Stop();
        EXPECT_EQ(log.count(kResetLine), 7) << "no request after the seventh";
    }
}

} // namespace
