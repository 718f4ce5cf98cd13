// System power registrations against the simulated root domain.

#include "IOKitTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <IOKitTesting/RootDomain.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>

using namespace IOKitTestSupport;
using namespace std::chrono_literals;
using CoreFoundationTesting::runUntilIdle;
using IOKitTesting::PowerAcknowledgement;

namespace {

// A registration whose callbacks run on the main queue, as the plug-in's do.
class PowerClient
{
public:
    struct Call
    {
        uint32_t fMessage;
        intptr_t fArgument;
        std::string fService;
        std::thread::id fThread;
    };

    explicit PowerClient(bool acknowledges = true) : fAcknowledges(acknowledges)
    {
        fConnection = IORegisterForSystemPower(this, &fPort, callback, &fNotifier);
        IONotificationPortSetDispatchQueue(fPort, dispatch_get_main_queue());
    }

    ~PowerClient()
    {
        if (fPort != nullptr) {
            deregister();
        }
    }

    void deregister()
    {
        EXPECT_EQ(IODeregisterForSystemPower(&fNotifier), kIOReturnSuccess);
        close();
    }

    // What is left of a registration that has gone.
    void close()
    {
        IONotificationPortDestroy(std::exchange(fPort, nullptr));
        EXPECT_EQ(IOServiceClose(fConnection), kIOReturnSuccess);
    }

    std::vector<Call> calls()
    {
        std::lock_guard lock(fLock);
        return fCalls;
    }

    io_connect_t fConnection = 0;
    io_object_t fNotifier = 0;

private:
    static void callback(void* refCon, io_service_t service, uint32_t messageType, void* messageArgument)
    {
        auto* self = static_cast<PowerClient*>(refCon);
        auto argument = reinterpret_cast<intptr_t>(messageArgument);
        {
            std::lock_guard lock(self->fLock);
            self->fCalls.push_back({messageType, argument, nameOf(service), std::this_thread::get_id()});
        }
        if (self->fAcknowledges && messageType != kIOMessageSystemHasPoweredOn) {
            IOAllowPowerChange(self->fConnection, argument);
        }
    }

    const bool fAcknowledges;
    IONotificationPortRef fPort = nullptr;
    std::mutex fLock;
    std::vector<Call> fCalls;
};

// The acknowledgements recorded since `before` of them were: the record is process-wide.
std::vector<PowerAcknowledgement> acknowledgementsAfter(size_t before)
{
    auto all = IOKitTesting::powerAcknowledgements();
    return std::vector<PowerAcknowledgement>(all.begin() + std::ptrdiff_t(std::min(before, all.size())),
                                             all.end());
}

struct MessageCase
{
    const char* fName;
    uint32_t fMessage;
    bool fAcknowledged;
};

void PrintTo(const MessageCase& value, std::ostream* out)
{
    *out << value.fName;
}

class PowerMessageTest : public testing::TestWithParam<MessageCase>
{};

TEST_P(PowerMessageTest, MessagesReachEveryRegistrationOnTheMainQueueAndAcknowledgementsAreRecorded)
{
    size_t before = IOKitTesting::powerAcknowledgements().size();
    PowerClient first;
    PowerClient second;
    ASSERT_NE(first.fConnection, 0u);
    ASSERT_NE(first.fConnection, second.fConnection);

    intptr_t notificationID = IOKitTesting::deliverPowerMessage(GetParam().fMessage);
    EXPECT_TRUE(first.calls().empty());
    runUntilIdle();

    for (PowerClient* client : {&first, &second}) {
        auto calls = client->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].fMessage, GetParam().fMessage);
        EXPECT_EQ(calls[0].fArgument, notificationID);
        EXPECT_EQ(calls[0].fService, "IOPMrootDomain");
        EXPECT_EQ(calls[0].fThread, std::this_thread::get_id());
    }
    std::vector<PowerAcknowledgement> expected;
    if (GetParam().fAcknowledged) {
        expected = {{first.fConnection, notificationID}, {second.fConnection, notificationID}};
    }
    EXPECT_EQ(acknowledgementsAfter(before), expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, PowerMessageTest,
                         testing::Values(MessageCase{"CanSystemSleep", kIOMessageCanSystemSleep, true},
                                         MessageCase{"SystemWillSleep", kIOMessageSystemWillSleep, true},
                                         MessageCase{"SystemHasPoweredOn", kIOMessageSystemHasPoweredOn,
                                                     false}),
                         testing::PrintToStringParamName());

TEST(PowerMessages, PowerMessageValuesAreThePlatforms)
{
    EXPECT_EQ(kIOMessageCanSystemSleep, 0xE0000270u);
    EXPECT_EQ(kIOMessageSystemWillSleep, 0xE0000280u);
    EXPECT_EQ(kIOMessageSystemHasPoweredOn, 0xE0000300u);
}

TEST(PowerMessages, NoCallbackStartsOnceDeregisteredEvenWithOneQueued)
{
    PowerClient client;
    IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
    io_object_t notifier = client.fNotifier;

    client.deregister();
    runUntilIdle();
    IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
    runUntilIdle();

    EXPECT_TRUE(client.calls().empty());
    EXPECT_EQ(IODeregisterForSystemPower(&notifier), kIOReturnBadArgument);
}

TEST(PowerMessages, AFailedDeregistrationKeepsTheRegistrationUntilTheFailureEnds)
{
    PowerClient client;
    io_object_t notifier = client.fNotifier;
    {
        IOKitTesting::FailedPowerDeregistration failure(kIOReturnNotResponding);
        EXPECT_EQ(IODeregisterForSystemPower(&notifier), kIOReturnNotResponding);
        IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
        runUntilIdle();
        EXPECT_EQ(client.calls().size(), 1u);
    }
    IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
    runUntilIdle();
    EXPECT_EQ(client.calls().size(), 1u);
    EXPECT_EQ(IODeregisterForSystemPower(&notifier), kIOReturnBadArgument);
    client.close();
}

TEST(PowerMessages, OnlyARootDomainConnectionAcknowledges)
{
    Services services;
    io_service_t service = IOKitTesting::copyHandle(services.publish({"IOService"}, "NotTheRootDomain"));
    size_t before = IOKitTesting::powerAcknowledgements().size();

    EXPECT_EQ(IOAllowPowerChange(service, 1), kIOReturnBadArgument);
    EXPECT_EQ(IOAllowPowerChange(0, 1), kIOReturnBadArgument);
    EXPECT_TRUE(acknowledgementsAfter(before).empty());
    IOObjectRelease(service);
}

// A sleep started on another thread while the test thread serves the main queue.
class Sleep
{
public:
    Sleep()
        : fThread([this] {
              fAnswered = IOKitTesting::systemWillSleep();
              fReturned = true;
          })
    {}

    ~Sleep() { join(); }

    void join()
    {
        if (fThread.joinable()) {
            fThread.join();
        }
    }

    std::atomic<bool> fReturned{false};
    std::atomic<bool> fAnswered{false};

private:
    std::thread fThread;
};

void serveMainQueueUntil(const std::function<bool()>& condition)
{
    waitFor([&] {
        runUntilIdle();
        return condition();
    });
}

TEST(SystemSleep, ReturnsOnceEveryRegistrationHasAcknowledgedWithoutTimeMoving)
{
    DarwinTesting::ManualClock clock;
    uint64_t start = DarwinClock::hostNow();
    size_t before = IOKitTesting::powerAcknowledgements().size();
    PowerClient first;
    PowerClient second;

    Sleep sleep;
    serveMainQueueUntil([&] { return sleep.fReturned.load(); });
    sleep.join();

    EXPECT_TRUE(sleep.fAnswered);
    EXPECT_EQ(DarwinClock::hostNow(), start);
    EXPECT_EQ(acknowledgementsAfter(before).size(), 2u);
}

TEST(SystemSleep, WaitsThirtySecondsOfPlatformTimeForASilentRegistration)
{
    DarwinTesting::ManualClock clock;
    PowerClient answering;
    PowerClient silent(false);

    Sleep sleep;
    serveMainQueueUntil([&] { return !silent.calls().empty() && !answering.calls().empty(); });
    CoreFoundationTesting::advanceAndRun(clock, 29s);
    EXPECT_FALSE(sleep.fReturned);
    CoreFoundationTesting::advanceAndRun(clock, 1s);
    sleep.join();

    EXPECT_TRUE(sleep.fReturned);
    EXPECT_FALSE(sleep.fAnswered);
}

TEST(SystemSleep, ARegistrationThatGoesAwayCountsAsAnswered)
{
    DarwinTesting::ManualClock clock;
    PowerClient silent(false);

    Sleep sleep;
    serveMainQueueUntil([&] { return !silent.calls().empty(); });
    silent.deregister();
    sleep.join();

    EXPECT_TRUE(sleep.fAnswered);
}

} // namespace
