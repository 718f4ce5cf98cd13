// Four endpoints flood the listener with valid and malformed announcements while the main thread
// runs the updates from its dispatcher and destroys and remakes the listener twenty times.

#include <DeviceRecord.h>
#include <DiscoveryUpdate.h>
#include <LocalAddresses.h>
#include <MixerEndpoint.h>
#include <MixerPageModel.h>
#include <RunLoopDispatcher.h>
#include <UDPDiscovery.h>
#include <WrappedLambda.h>

#include <CoreFoundation/CoreFoundation.h>
#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Message = vork::wrapped_lambda<void(), 128, 8>;
using Dispatcher = vork::RunLoopDispatcher<Message, 100>;
using SimNetwork::LoopbackAddress;
using SimNetwork::MixerEndpoint;

class Listener : public UDPDiscovery::Client
{
public:
    explicit Listener(Dispatcher& dispatcher) : fDispatcher(dispatcher) {}

    void udp_rx() override
    {
        fDispatcher.tryPost([this] { update(); });
    }

    // Main thread.
    void update()
    {
        if (!fDiscovery) {
            return;
        }
        fLargestQueue = std::max(fLargestQueue, fDiscovery->messages().size());
        for (const std::string& call :
             fTable.update(fDiscovery->messages(), CFAbsoluteTimeGetCurrent(), getMyIpAddresses())) {
            fPage.evaluate(call);
        }
    }

    Dispatcher& fDispatcher;
    std::unique_ptr<UDPDiscovery> fDiscovery;
    DiscoveryUpdate fTable;
    MixerPageModel fPage;
    size_t fLargestQueue = 0;
};

void runLoopFor(double seconds)
{
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, false);
}

TEST(MixerDiscoveryStress, FloodsWhileTheListenerIsRemadeAndEndsWithTheFinalNames)
{
    Dispatcher dispatcher([](const Message& message) { message(); });
    Listener listener(dispatcher);
    listener.fDiscovery = std::make_unique<UDPDiscovery>(listener, 0);
    const uint16_t port = listener.fDiscovery->port();
    ASSERT_NE(port, 0);
    auto timer = dispatcher.postPeriodic(std::chrono::milliseconds(50), [&listener] { listener.update(); });

    std::vector<std::unique_ptr<MixerEndpoint>> endpoints;
    for (uint8_t host = 1; host <= 4; ++host) {
        endpoints.push_back(std::make_unique<MixerEndpoint>(
            LoopbackAddress::host(host), port,
            MixerEndpoint::Identity{
                .serial = "S" + std::to_string(host), .name = "host", .deviceName = "first"}));
        endpoints.back()->setNetworkControl(true);
    }
    std::vector<std::thread> flooders;
    for (auto& endpoint : endpoints) {
        flooders.emplace_back([&endpoint] {
            for (int i = 0; i < 5000; ++i) {
                if (i % 3 == 0) {
                    endpoint->sendRaw("{\"model\":\"TideProxy-");
                } else {
                    endpoint->rename("name " + std::to_string(i % 7));
                    endpoint->announce();
                }
            }
        });
    }
    for (int remake = 0; remake < 20; ++remake) {
        runLoopFor(0.005);
        listener.fDiscovery.reset();
        runLoopFor(0.001);
        listener.fDiscovery = std::make_unique<UDPDiscovery>(listener, port);
        ASSERT_EQ(listener.fDiscovery->port(), port);
    }
    for (std::thread& flooder : flooders) {
        flooder.join();
    }
    std::vector<std::string> expected;
    for (auto& endpoint : endpoints) {
        endpoint->rename("final " + endpoint->announcement()["serial"].get<std::string>());
        expected.push_back("final " + endpoint->announcement()["serial"].get<std::string>());
    }
    // The flood may still fill the socket's buffer, so the finals repeat as real announcements do.
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        for (auto& endpoint : endpoints) {
            endpoint->announce();
        }
        runLoopFor(0.01);
        std::vector<std::string> names = listener.fPage.deviceNames();
        std::sort(names.begin(), names.end());
        return names == expected;
    }));
    EXPECT_LE(listener.fLargestQueue, MessageQueue::kCapacity);
    EXPECT_TRUE(listener.fPage.problems().empty());
    dispatcher.stopTimer(timer);
    listener.fDiscovery.reset();
}

} // namespace
