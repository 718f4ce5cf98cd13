// Matching notifications and the ports that deliver them.

#include "IOKitTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

using namespace IOKitTestSupport;
using CoreFoundationTesting::runUntilIdle;
using Names = std::vector<std::string>;

namespace {

const std::vector<std::string> kControlClass = {"com_vork_driver_tide_control_interface",
                                                "com_vork_driver_tide_base_interface", "IOService"};
const char* const kControl = "com_vork_driver_tide_control_interface";

// A port whose source is on the test thread's loop in the default mode.
class MatchingNotificationTest : public testing::Test
{
protected:
    MatchingNotificationTest()
    {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                           kCFRunLoopDefaultMode);
    }

    ~MatchingNotificationTest() override
    {
        for (io_iterator_t iterator : fIterators) {
            IOObjectRelease(iterator);
        }
        if (fPort != nullptr) {
            IONotificationPortDestroy(fPort);
        }
    }

    io_iterator_t add(const char* type, MatchingRecorder& recorder, const char* className = kControl)
    {
        io_iterator_t iterator = 0;
        EXPECT_EQ(IOServiceAddMatchingNotification(fPort, type, IOServiceMatching(className),
                                                   MatchingRecorder::callback, &recorder, &iterator),
                  kIOReturnSuccess);
        fIterators.push_back(iterator);
        return iterator;
    }

    // Adds a notification and drains it, as a client does to take what is there and arm it.
    io_iterator_t addArmed(const char* type, MatchingRecorder& recorder)
    {
        io_iterator_t iterator = add(type, recorder);
        drainNames(iterator);
        return iterator;
    }

    Services fServices;
    IONotificationPortRef fPort = IONotificationPortCreate(kIOMainPortDefault);
    std::vector<io_iterator_t> fIterators;
};

struct KindCase
{
    const char* fType;
    Names fInitial;
};

void PrintTo(const KindCase& value, std::ostream* out)
{
    *out << value.fType;
}

class NotificationKindTest : public MatchingNotificationTest, public testing::WithParamInterface<KindCase>
{};

TEST_P(NotificationKindTest, PublishKindsStartWithThePublishedServicesAndTerminateStartsEmpty)
{
    fServices.publish(kControlClass, "Present");
    fServices.create(kControlClass, "NotYetPublished");
    MatchingRecorder recorder("notification");

    io_iterator_t iterator = add(GetParam().fType, recorder);

    EXPECT_EQ(drainNames(iterator), GetParam().fInitial);
    EXPECT_TRUE(IOIteratorIsValid(iterator));
    runUntilIdle();
    EXPECT_TRUE(recorder.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotificationKindTest,
                         testing::Values(KindCase{kIOFirstPublishNotification, {"Present"}},
                                         KindCase{kIOPublishNotification, {"Present"}},
                                         KindCase{kIOMatchedNotification, {"Present"}},
                                         KindCase{kIOTerminatedNotification, {}}),
                         [](const auto& info) { return std::string(info.param.fType); });

TEST_F(MatchingNotificationTest, ALaterPublicationCallsBackOnTheLoopOnlyWhenTheLoopRuns)
{
    MatchingRecorder recorder("publish");
    addArmed(kIOFirstPublishNotification, recorder);

    fServices.publish(kControlClass, "Arrived");
    EXPECT_TRUE(recorder.calls().empty());
    runUntilIdle();

    auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fNames, Names{"Arrived"});
    EXPECT_EQ(calls[0].fThread, std::this_thread::get_id());
}

TEST_F(MatchingNotificationTest, FirstPublishReportsAServiceOncePublishEachTimeItRegisters)
{
    MatchingRecorder first("first");
    MatchingRecorder every("every");
    addArmed(kIOFirstPublishNotification, first);
    addArmed(kIOPublishNotification, every);

    Entry service = fServices.publish(kControlClass, "Twice");
    service->registerService();
    runUntilIdle();

    EXPECT_EQ(first.names(), Names{"Twice"});
    EXPECT_EQ(every.names(), (Names{"Twice", "Twice"}));
}

TEST_F(MatchingNotificationTest, TerminationReportsThePublishedServiceOnceAndEndsItsMatching)
{
    MatchingRecorder terminated("terminate");
    MatchingRecorder published("publish");
    addArmed(kIOTerminatedNotification, terminated);
    addArmed(kIOPublishNotification, published);
    Entry service = fServices.publish(kControlClass, "Leaving");
    fServices.create(kControlClass, "NeverPublished")->terminate();
    runUntilIdle();

    service->terminate();
    service->terminate();
    service->registerService();
    runUntilIdle();

    EXPECT_EQ(terminated.names(), Names{"Leaving"});
    EXPECT_EQ(published.names(), Names{"Leaving"});
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(kControl), &iterator);
    EXPECT_EQ(drainNames(iterator), Names{});
    IOObjectRelease(iterator);
}

TEST_F(MatchingNotificationTest, APublicationNotYetHandedOutIsSkippedOnceTheServiceHasTerminated)
{
    MatchingRecorder terminated("terminate");
    MatchingRecorder published("publish");
    addArmed(kIOFirstPublishNotification, published);
    addArmed(kIOTerminatedNotification, terminated);

    fServices.publish(kControlClass, "Brief")->terminate();
    fServices.publish(kControlClass, "Staying");
    runUntilIdle();

    EXPECT_EQ(published.names(), Names{"Staying"});
    EXPECT_EQ(terminated.names(), Names{"Brief"});
}

TEST_F(MatchingNotificationTest, TerminatingAnEntryTerminatesWhatIsAttachedBelowItParentFirst)
{
    MatchingRecorder terminated("terminate");
    add(kIOTerminatedNotification, terminated, "IOService");
    drainNames(fIterators.back());
    Entry device = fServices.publish({"IOUSBHostDevice", "IOService"}, "Device");
    Entry interface = fServices.publish({"IOUSBHostInterface", "IOService"}, "Interface");
    Entry driver = fServices.publish(kControlClass, "Driver");
    interface->attachToParent(device);
    driver->attachToParent(interface);

    device->terminate();
    runUntilIdle();

    EXPECT_EQ(terminated.names(), (Names{"Device", "Interface", "Driver"}));
}

TEST_F(MatchingNotificationTest, AnUndrainedIteratorDoesNotFireAgainUntilDrained)
{
    MatchingRecorder recorder("publish", false);
    io_iterator_t iterator = addArmed(kIOFirstPublishNotification, recorder);

    fServices.publish(kControlClass, "First");
    runUntilIdle();
    fServices.publish(kControlClass, "Second");
    runUntilIdle();
    EXPECT_EQ(recorder.calls().size(), 1u);

    EXPECT_EQ(drainNames(iterator), (Names{"First", "Second"}));
    fServices.publish(kControlClass, "Third");
    runUntilIdle();
    EXPECT_EQ(recorder.calls().size(), 2u);
}

TEST_F(MatchingNotificationTest, ResettingANotificationIteratorDoesNotHandOutAgain)
{
    fServices.publish(kControlClass, "Present");
    MatchingRecorder recorder("publish");
    io_iterator_t iterator = add(kIOFirstPublishNotification, recorder);
    EXPECT_EQ(drainNames(iterator), Names{"Present"});

    IOIteratorReset(iterator);

    EXPECT_EQ(drainNames(iterator), Names{});
}

struct OrderCase
{
    const char* fName;
    bool fTerminateFirst;
    std::vector<std::string> fLabels;
};

void PrintTo(const OrderCase& value, std::ostream* out)
{
    *out << value.fName;
}

class CallbackOrderTest : public MatchingNotificationTest, public testing::WithParamInterface<OrderCase>
{};

TEST_P(CallbackOrderTest, CallbacksOfOnePortRunInTheOrderOfTheRegistryChanges)
{
    Entry leaving = fServices.publish(kControlClass, "Leaving");
    MatchingRecorder published("publish");
    MatchingRecorder terminated("terminate");
    addArmed(kIOFirstPublishNotification, published);
    addArmed(kIOTerminatedNotification, terminated);

    if (GetParam().fTerminateFirst) {
        leaving->terminate();
        fServices.publish(kControlClass, "Arriving");
    } else {
        fServices.publish(kControlClass, "Arriving");
        leaving->terminate();
    }
    runUntilIdle();

    std::vector<MatchingRecorder::Call> calls = published.calls();
    for (const auto& call : terminated.calls()) {
        calls.push_back(call);
    }
    std::sort(calls.begin(), calls.end(),
              [](const auto& a, const auto& b) { return a.fSequence < b.fSequence; });
    std::vector<std::string> labels;
    for (const auto& call : calls) {
        labels.push_back(call.fLabel);
    }
    EXPECT_EQ(labels, GetParam().fLabels);
}

INSTANTIATE_TEST_SUITE_P(Orders, CallbackOrderTest,
                         testing::Values(OrderCase{"PublishThenTerminate", false, {"publish", "terminate"}},
                                         OrderCase{"TerminateThenPublish", true, {"terminate", "publish"}}),
                         testing::PrintToStringParamName());

TEST_F(MatchingNotificationTest, ASourceInAnotherModeDeliversOnlyWhileTheLoopRunsInThatMode)
{
    const CFRunLoopMode mode = CFSTR("com.vork.tests.iokit");
    CFRunLoopRemoveSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                          kCFRunLoopDefaultMode);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort), mode);
    MatchingRecorder recorder("publish");
    addArmed(kIOFirstPublishNotification, recorder);

    fServices.publish(kControlClass, "Arrived");
    runUntilIdle(kCFRunLoopDefaultMode);
    EXPECT_TRUE(recorder.calls().empty());
    runUntilIdle(mode);

    EXPECT_EQ(recorder.names(), Names{"Arrived"});
}

TEST_F(MatchingNotificationTest, ReleasingTheIteratorEndsTheNotificationEvenWithACallbackQueued)
{
    MatchingRecorder recorder("publish");
    io_iterator_t iterator = addArmed(kIOFirstPublishNotification, recorder);
    fServices.publish(kControlClass, "Arrived");

    fIterators.clear();
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
    runUntilIdle();
    fServices.publish(kControlClass, "Later");
    runUntilIdle();

    EXPECT_TRUE(recorder.calls().empty());
    EXPECT_FALSE(IOIteratorIsValid(iterator));
}

TEST_F(MatchingNotificationTest, NoCallbackRunsOnceThePortIsDestroyed)
{
    MatchingRecorder recorder("publish");
    addArmed(kIOFirstPublishNotification, recorder);
    fServices.publish(kControlClass, "Queued");

    IONotificationPortDestroy(std::exchange(fPort, nullptr));
    runUntilIdle();
    fServices.publish(kControlClass, "AfterDestroy");
    runUntilIdle();

    EXPECT_TRUE(recorder.calls().empty());
}

// Destroys the port from inside its first callback.
struct DestroyingCallback
{
    IONotificationPortRef fPort;
    int fCalls = 0;

    static void callback(void* refCon, io_iterator_t iterator)
    {
        auto* self = static_cast<DestroyingCallback*>(refCon);
        drainNames(iterator);
        if (++self->fCalls == 1) {
            IONotificationPortDestroy(self->fPort);
        }
    }
};

TEST_F(MatchingNotificationTest, DestroyingThePortFromItsCallbackReturnsAndStopsTheRest)
{
    DestroyingCallback destroying{std::exchange(fPort, nullptr)};
    for (int notification = 0; notification < 2; ++notification) {
        io_iterator_t iterator = 0;
        ASSERT_EQ(IOServiceAddMatchingNotification(destroying.fPort, kIOFirstPublishNotification,
                                                   IOServiceMatching(kControl), DestroyingCallback::callback,
                                                   &destroying, &iterator),
                  kIOReturnSuccess);
        drainNames(iterator);
        fIterators.push_back(iterator);
    }

    fServices.publish(kControlClass, "Arrived");
    runUntilIdle();

    EXPECT_EQ(destroying.fCalls, 1);
}

TEST_F(MatchingNotificationTest, AnUnknownKindOrMissingArgumentIsRefused)
{
    MatchingRecorder recorder("none");
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceAddMatchingNotification(fPort, "IOServiceSomething", IOServiceMatching(kControl),
                                               MatchingRecorder::callback, &recorder, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(IOServiceAddMatchingNotification(nullptr, kIOPublishNotification, IOServiceMatching(kControl),
                                               MatchingRecorder::callback, &recorder, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(iterator, 0u);
}

// A port whose callbacks some other thread serves.
class ServedPortTest : public testing::Test
{
protected:
    ~ServedPortTest() override
    {
        IOObjectRelease(fIterator);
        IONotificationPortDestroy(fPort);
    }

    void addArmed(IOServiceMatchingCallback callback, void* refCon)
    {
        ASSERT_EQ(IOServiceAddMatchingNotification(fPort, kIOFirstPublishNotification,
                                                   IOServiceMatching(kControl), callback, refCon, &fIterator),
                  kIOReturnSuccess);
        drainNames(fIterator);
    }

    Services fServices;
    IONotificationPortRef fPort = IONotificationPortCreate(kIOMainPortDefault);
    io_iterator_t fIterator = 0;
};

TEST_F(ServedPortTest, CallbacksRunOnTheThreadWhoseLoopHoldsTheSource)
{
    LoopThread loop([this] {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                           kCFRunLoopDefaultMode);
    });
    MatchingRecorder recorder("publish");
    addArmed(MatchingRecorder::callback, &recorder);

    fServices.publish(kControlClass, "Arrived");
    waitFor([&] { return !recorder.calls().empty(); });

    auto calls = recorder.calls();
    EXPECT_EQ(calls[0].fNames, Names{"Arrived"});
    EXPECT_EQ(calls[0].fThread, loop.id());
}

TEST_F(ServedPortTest, CallbacksRunOnTheDispatchQueueOneAtATimeInOrder)
{
    dispatch_queue_t queue =
        dispatch_queue_create("com.vork.tests.iokit.notifications", DISPATCH_QUEUE_SERIAL);
    IONotificationPortSetDispatchQueue(fPort, queue);
    struct QueueRecorder
    {
        std::atomic<int> fActive{0};
        std::atomic<bool> fOverlapped{false};
        std::mutex fLock;
        Names fNames;
        std::vector<std::string> fLabels;

        static void callback(void* refCon, io_iterator_t iterator)
        {
            auto* self = static_cast<QueueRecorder*>(refCon);
            self->fOverlapped = self->fOverlapped || self->fActive.fetch_add(1) != 0;
            Names names = drainNames(iterator);
            std::lock_guard lock(self->fLock);
            self->fNames.insert(self->fNames.end(), names.begin(), names.end());
            self->fLabels.push_back(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL));
            self->fActive.fetch_sub(1);
        }
    } recorder;
    addArmed(QueueRecorder::callback, &recorder);

    Names expected;
    for (int index = 0; index < 20; ++index) {
        expected.push_back("Service" + std::to_string(index));
        fServices.publish(kControlClass, expected.back());
    }
    waitFor([&] {
        std::lock_guard lock(recorder.fLock);
        return recorder.fNames.size() == expected.size();
    });

    std::lock_guard lock(recorder.fLock);
    EXPECT_EQ(recorder.fNames, expected);
    for (const std::string& label : recorder.fLabels) {
        EXPECT_EQ(label, "com.vork.tests.iokit.notifications");
    }
    EXPECT_FALSE(recorder.fOverlapped);
    dispatch_release(queue);
}

TEST_F(ServedPortTest, DestroyWaitsForTheCallbackInProgressOnAnotherThread)
{
    struct BlockingCallback
    {
        std::atomic<bool> fEntered{false};
        std::atomic<bool> fRelease{false};
        std::atomic<bool> fEnded{false};

        static void callback(void* refCon, io_iterator_t iterator)
        {
            auto* self = static_cast<BlockingCallback*>(refCon);
            drainNames(iterator);
            self->fEntered = true;
            waitFor([&] { return self->fRelease.load(); });
            self->fEnded = true;
        }
    } blocking;
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.iokit.blocking", DISPATCH_QUEUE_SERIAL);
    IONotificationPortSetDispatchQueue(fPort, queue);
    addArmed(BlockingCallback::callback, &blocking);
    fServices.publish(kControlClass, "Arrived");
    waitFor([&] { return blocking.fEntered.load(); });

    std::atomic<bool> destroyStarted{false};
    bool endedBeforeDestroyReturned = false;
    std::thread destroyer([&] {
        destroyStarted = true;
        IONotificationPortDestroy(std::exchange(fPort, IONotificationPortCreate(kIOMainPortDefault)));
        endedBeforeDestroyReturned = blocking.fEnded.load();
    });
    waitFor([&] { return destroyStarted.load(); });
    blocking.fRelease = true;
    destroyer.join();

    EXPECT_TRUE(endedBeforeDestroyReturned);
    dispatch_release(queue);
}

} // namespace
