// Registry changes from several threads while a loop consumes the notifications and power
// registrations come and go.

#include "IOKitTestSupport.h"

#include <IOKit/pwr_mgt/IOPMLib.h>
#include <IOKitTesting/RootDomain.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace IOKitTestSupport;

namespace {

const std::vector<std::string> kControlClass = {"com_vork_driver_tide_control_interface",
                                                "com_vork_driver_tide_base_interface", "IOService"};
constexpr int kPublishers = 4;
constexpr int kServicesPerPublisher = 100;
constexpr int kPowerRounds = 200;

// A power registration on its own queue whose callbacks write into it; it is freed right after
// deregistration, so a late callback would touch freed memory.
struct ShortLivedPowerClient
{
    explicit ShortLivedPowerClient(dispatch_queue_t queue)
    {
        fConnection = IORegisterForSystemPower(this, &fPort, callback, &fNotifier);
        IONotificationPortSetDispatchQueue(fPort, queue);
    }

    ~ShortLivedPowerClient()
    {
        IODeregisterForSystemPower(&fNotifier);
        IONotificationPortDestroy(fPort);
        IOServiceClose(fConnection);
    }

    static void callback(void* refCon, io_service_t, uint32_t, void* argument)
    {
        auto* self = static_cast<ShortLivedPowerClient*>(refCon);
        ++self->fCalls;
        IOAllowPowerChange(self->fConnection, reinterpret_cast<intptr_t>(argument));
    }

    io_connect_t fConnection = 0;
    io_object_t fNotifier = 0;
    IONotificationPortRef fPort = nullptr;
    int fCalls = 0;
};

TEST(IOKitStress, PublishAndTerminateFromManyThreadsReachTheLoopOnceEach)
{
    IONotificationPortRef port = IONotificationPortCreate(kIOMainPortDefault);
    MatchingRecorder published("publish");
    MatchingRecorder terminated("terminate");
    io_iterator_t iterators[2] = {};
    const char* const kinds[2] = {kIOFirstPublishNotification, kIOTerminatedNotification};
    MatchingRecorder* recorders[2] = {&published, &terminated};
    auto loop = std::make_unique<LoopThread>([&] {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
        for (int index = 0; index < 2; ++index) {
            IOServiceAddMatchingNotification(port, kinds[index], IOServiceMatching(kControlClass[0].c_str()),
                                             MatchingRecorder::callback, recorders[index], &iterators[index]);
            drainNames(iterators[index]);
        }
    });

    std::atomic<bool> publishing{true};
    std::thread power([&] {
        dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.iokit.power", DISPATCH_QUEUE_SERIAL);
        for (int round = 0; round < kPowerRounds || publishing.load(); ++round) {
            ShortLivedPowerClient client(queue);
            IOKitTesting::deliverPowerMessage(kIOMessageCanSystemSleep);
        }
        dispatch_release(queue);
    });
    std::vector<std::thread> publishers;
    for (int publisher = 0; publisher < kPublishers; ++publisher) {
        publishers.emplace_back([publisher] {
            for (int index = 0; index < kServicesPerPublisher; ++index) {
                std::string name = "S" + std::to_string(publisher) + "." + std::to_string(index);
                auto entry = IOKitPlatform::RegistryEntry::create(kControlClass, name);
                entry->registerService();
                entry->setProperty(CFSTR("com_vork_driver_tide_device_UID"), CFSTR("uid"));
                entry->terminate();
            }
        });
    }
    for (auto& publisher : publishers) {
        publisher.join();
    }
    const size_t total = kPublishers * kServicesPerPublisher;
    // Once every termination is in, a publish callback still to come would skip them all.
    waitFor([&] { return terminated.names().size() == total; });
    publishing = false;
    power.join();

    // Every termination is reported once. A publication is reported at most once, and never after
    // the service's termination was: a callback drains what its iterator holds by then, and a
    // publish iterator skips what has terminated.
    std::map<std::string, int> terminations;
    for (const auto& call : terminated.calls()) {
        EXPECT_EQ(call.fThread, loop->id());
        for (const auto& name : call.fNames) {
            EXPECT_TRUE(terminations.emplace(name, call.fSequence).second) << name << " terminated twice";
        }
    }
    EXPECT_EQ(terminations.size(), total);
    std::set<std::string> publications;
    for (const auto& call : published.calls()) {
        EXPECT_EQ(call.fThread, loop->id());
        for (const auto& name : call.fNames) {
            EXPECT_TRUE(publications.insert(name).second) << name << " published twice";
            EXPECT_LT(call.fSequence, terminations.at(name)) << name << " published after its termination";
        }
    }
    // The loop stops before its source is invalidated on this thread.
    loop.reset();
    IONotificationPortDestroy(port);
    for (io_iterator_t iterator : iterators) {
        IOObjectRelease(iterator);
    }
}

} // namespace
