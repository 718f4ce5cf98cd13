#include "FakeKernelUserClient.h"
#include "KorvanServiceClient.h"
#include "LogLines.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <IOKit/IOMessage.h>
#include <IOKit/IOReturn.h>
#include <IOKitTesting/RootDomain.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace PlugInTesting;

namespace {

struct PowerCall
{
    void* fUser;
    KorvanServiceClient::PowerStateChange fChange;
};

std::vector<PowerCall> sPowerCalls;

void RecordPower(void* user, KorvanServiceClient::PowerStateChange change)
{
    sPowerCalls.push_back({user, change});
}

// A client of a fake service, registered for power messages, whose callbacks the test thread (the
// main thread, which serves the main queue) runs.
class KorvanServiceClientPower : public testing::Test
{
protected:
    void SetUp() override
    {
        sPowerCalls.clear();
        fService.publish();
        const io_service_t handle = fService.copyHandle();
        fClient.reset(KorvanServiceClient::Create(KorvanService(handle, KorvanService::kBusTypeUSB),
                                                  kAudioClientType, nullptr, nullptr));
        IOObjectRelease(handle);
        fClient->registerPowerStateChangeNotification(RecordPower, &fUser);
    }

    // Sends a message and serves the main queue; answers the acknowledgements it brought.
    std::vector<IOKitTesting::PowerAcknowledgement> Deliver(uint32_t message, intptr_t* id = nullptr)
    {
        const size_t before = IOKitTesting::powerAcknowledgements().size();
        const intptr_t sent = IOKitTesting::deliverPowerMessage(message);
        if (id != nullptr) {
            *id = sent;
        }
        CoreFoundationTesting::runUntilIdle();
        const std::vector<IOKitTesting::PowerAcknowledgement> all = IOKitTesting::powerAcknowledgements();
        return {all.begin() + ptrdiff_t(before), all.end()};
    }

    LogLines fLog;
    FakeKernelService fService{"power001"};
    int fUser = 0;
    std::unique_ptr<KorvanServiceClient> fClient;
};

TEST_F(KorvanServiceClientPower, MessagesCallBackAndAcknowledgeAsTheirKindWants)
{
    struct MessageCase
    {
        uint32_t fMessage;
        std::vector<KorvanServiceClient::PowerStateChange> fCalls;
        bool fAcknowledged;
    };
    const MessageCase cases[] = {
        {kIOMessageCanSystemSleep, {}, true},
        {kIOMessageSystemWillSleep, {KorvanServiceClient::kSystemWillSleep}, true},
        {kIOMessageSystemHasPoweredOn, {KorvanServiceClient::kSystemHasPoweredOn}, false},
        {0xE0000290, {}, false},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.fMessage);
        sPowerCalls.clear();
        intptr_t id = 0;
        const auto acknowledgements = Deliver(c.fMessage, &id);
        ASSERT_EQ(sPowerCalls.size(), c.fCalls.size());
        for (size_t index = 0; index < c.fCalls.size(); ++index) {
            EXPECT_EQ(sPowerCalls[index].fChange, c.fCalls[index]);
            EXPECT_EQ(sPowerCalls[index].fUser, &fUser);
        }
        ASSERT_EQ(acknowledgements.size(), c.fAcknowledged ? 1u : 0u);
        if (c.fAcknowledged) {
            EXPECT_EQ(acknowledgements[0].fNotificationID, id);
        }
    }
    EXPECT_TRUE(fLog.contains("powerNotificationCallback - messageType: 3758097008"));
}

TEST_F(KorvanServiceClientPower, NullRefconIsIgnored)
{
    const size_t before = IOKitTesting::powerAcknowledgements().size();
    KorvanServiceClient::ioPowerNotificationCallback(nullptr, 0, kIOMessageSystemWillSleep, nullptr);
    EXPECT_TRUE(sPowerCalls.empty());
    EXPECT_EQ(IOKitTesting::powerAcknowledgements().size(), before);
    EXPECT_FALSE(fLog.contains("powerNotificationCallback"));
}

TEST_F(KorvanServiceClientPower, DisabledClientHearsNothingUntilEnabledAgain)
{
    fClient->disablePowerNotifications();
    EXPECT_TRUE(Deliver(kIOMessageSystemWillSleep).empty());
    EXPECT_TRUE(sPowerCalls.empty());
    fClient->enablePowerNotifications();
    EXPECT_EQ(Deliver(kIOMessageSystemWillSleep).size(), 1u);
    EXPECT_EQ(sPowerCalls.size(), 1u);
    // A new registration replaces the old one instead of adding a second.
    fClient->registerPowerStateChangeNotification(RecordPower, &fUser);
    sPowerCalls.clear();
    EXPECT_EQ(Deliver(kIOMessageCanSystemSleep).size(), 1u);
}

// A deregistration that fails leaves the registration standing: the client goes on answering on
// the same connection, and neither disabling again nor enabling changes that. Deleting the record
// ends it: no callback runs after, so none can reach a deleted client.
TEST_F(KorvanServiceClientPower, FailedDeregistrationKeepsAnsweringUntilTheRecordIsDeleted)
{
    const auto registered = Deliver(kIOMessageCanSystemSleep);
    ASSERT_EQ(registered.size(), 1u);
    IOKitTesting::FailedPowerDeregistration failure(kIOReturnNotResponding);
    fClient->disablePowerNotifications();
    fClient->disablePowerNotifications();
    fClient->enablePowerNotifications();
    const auto acknowledgements = Deliver(kIOMessageSystemWillSleep);
    ASSERT_EQ(acknowledgements.size(), 1u);
    EXPECT_EQ(acknowledgements[0].fConnection, registered[0].fConnection);
    EXPECT_EQ(sPowerCalls.size(), 1u);

    fClient->unregisterPowerStateChangeNotification();
    EXPECT_TRUE(Deliver(kIOMessageSystemWillSleep).empty());
    EXPECT_EQ(fLog.count("powerNotificationCallback"), 2);
}

// Fault: the registration outlived the client, so the next sleep called into a deleted client.
TEST_F(KorvanServiceClientPower, DeletedClientIsNeverCalledAgain)
{
    fClient.reset();
    // No registration is left to wait for.
    EXPECT_TRUE(IOKitTesting::systemWillSleep());
    EXPECT_TRUE(Deliver(kIOMessageSystemWillSleep).empty());
    EXPECT_TRUE(sPowerCalls.empty());
}

// Registrations come and go on another thread while the main queue delivers power messages; once
// the last is gone, no callback follows.
TEST_F(KorvanServiceClientPower, RegistrationsChangeWhileMessagesArrive)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread changer([&] {
        for (int round = 0; round < 200; ++round) {
            fClient->disablePowerNotifications();
            fClient->enablePowerNotifications();
            fClient->unregisterPowerStateChangeNotification();
            fClient->registerPowerStateChangeNotification(RecordPower, &fUser);
        }
        fClient->unregisterPowerStateChangeNotification();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    });
    // A deadlock would hold the main thread inside a callback, where no check of its own runs.
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
            std::fprintf(stderr, "the registrations and the callbacks wait for each other\n");
            std::abort();
        }
    });
    auto finished = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    };
    while (!finished()) {
        IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
        CoreFoundationTesting::runUntilIdle();
    }
    changer.join();
    watchdog.join();
    const size_t calls = sPowerCalls.size();
    Deliver(kIOMessageSystemHasPoweredOn);
    EXPECT_EQ(sPowerCalls.size(), calls);
    for (const PowerCall& call : sPowerCalls) {
        EXPECT_EQ(call.fUser, &fUser);
    }
}

// Fault: the callback ran under the client's lock, and a device's wake takes the device's lock,
// which activation holds while calling into the client: a wake during an activation deadlocked.
// Here the callback waits for a lock the test thread holds while it calls into the client.
struct LockTakingUser
{
    std::mutex fDeviceLock;
    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fInCallback = false;
    bool fClientCalled = false;
};

void TakeDeviceLock(void* user, KorvanServiceClient::PowerStateChange)
{
    auto& device = *static_cast<LockTakingUser*>(user);
    {
        std::lock_guard<std::mutex> lock(device.fMutex);
        device.fInCallback = true;
        device.fChanged.notify_all();
    }
    std::lock_guard<std::mutex> deviceLock(device.fDeviceLock);
}

TEST_F(KorvanServiceClientPower, CallbackTakingTheUsersLockDoesNotBlockCallsIntoTheClient)
{
    LockTakingUser device;
    fClient->registerPowerStateChangeNotification(TakeDeviceLock, &device);
    std::thread activation([&] {
        std::lock_guard<std::mutex> deviceLock(device.fDeviceLock);
        {
            std::unique_lock<std::mutex> lock(device.fMutex);
            device.fChanged.wait(lock, [&] { return device.fInCallback; });
        }
        fClient->enablePowerNotifications();
        std::lock_guard<std::mutex> lock(device.fMutex);
        device.fClientCalled = true;
        device.fChanged.notify_all();
    });
    // A deadlock holds the main thread inside the callback, where no check of its own runs.
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(device.fMutex);
        if (!device.fChanged.wait_for(lock, std::chrono::seconds(30), [&] { return device.fClientCalled; })) {
            std::fprintf(stderr, "the power callback and a call into the client wait for each other\n");
            std::abort();
        }
    });
    EXPECT_EQ(Deliver(kIOMessageSystemHasPoweredOn).size(), 0u);
    activation.join();
    watchdog.join();
    EXPECT_TRUE(device.fClientCalled);
}

} // namespace
