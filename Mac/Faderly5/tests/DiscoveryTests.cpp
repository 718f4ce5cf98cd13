#include "MixerFixture.h"

#include <MainMenu.h>
#include <MixerEndpoint.h>
#include <UDPPort.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <FoundationTesting/Activities.h>

#include <algorithm>

namespace {

using SimNetwork::LoopbackAddress;
using SimNetwork::MixerEndpoint;
using namespace std::chrono_literals;

class MixerDiscoveryFixture : public MixerFixture
{
protected:
    // Advances in small steps until `done` holds; the real-time guard only catches a hang.
    template <typename Done>
    bool advanceUntil(Done done)
    {
        return DarwinTesting::eventually([&] {
            CoreFoundationTesting::advanceAndRun(fClock, 1ms);
            return done();
        });
    }

    // Advances until the page lists exactly `names`.
    ::testing::AssertionResult advanceUntilListed(const std::vector<std::string>& names)
    {
        if (!advanceUntil([&] { return page()->deviceNames() == names; })) {
            return ::testing::AssertionFailure() << "the page never listed the expected endpoints";
        }
        return ::testing::AssertionSuccess();
    }

    MixerEndpoint::Identity studio(const std::string& name)
    {
        return {.model = "Brio",
                .serial = "BR1",
                .name = "studio-host",
                .ip = "<src_ip>:8080",
                .deviceName = name};
    }

    DarwinTesting::ManualClock fClock;
};

TEST_F(MixerDiscoveryFixture, AnEndpointHeardOnceStaysTwelveSecondsAndGoesAtTheNextUpdate)
{
    const auto launched = std::chrono::nanoseconds(DarwinClock::hostNow());
    launch();
    MixerEndpoint endpoint(LoopbackAddress::host(1), fDelegate->udpPort(), studio("Studio A"));
    endpoint.announce();
    ASSERT_TRUE(advanceUntilListed({"Studio A"}));
    // Last seen is the time of the update that took the announcement, at most a step before it
    // was listed; the periodic updates come every 2 s from launch whatever else runs.
    const auto sinceLaunch = [&] { return std::chrono::nanoseconds(DarwinClock::hostNow()) - launched; };
    const auto listed = sinceLaunch();
    CoreFoundationTesting::advanceAndRun(fClock, listed + 12s - 2ms - sinceLaunch());
    EXPECT_EQ(page()->deviceNames(), std::vector<std::string>{"Studio A"});
    const auto nextUpdate = (listed + 12s) / 2s * 2s + 2s;
    CoreFoundationTesting::advanceAndRun(fClock, nextUpdate + 1ms - sinceLaunch());
    EXPECT_TRUE(page()->deviceNames().empty()) << "a silent endpoint is gone at the next update";
}

TEST_F(MixerDiscoveryFixture, OverLoopbackAnEndpointAppearsIsRenamedAndGoesSilent)
{
    launch();
    MixerEndpoint endpoint(LoopbackAddress::host(1), fDelegate->udpPort(), studio("Studio A"));
    endpoint.announce();
    ASSERT_TRUE(advanceUntilListed({"Studio A"}));
    endpoint.rename("Studio B");
    endpoint.announce();
    ASSERT_TRUE(advanceUntilListed({"Studio B"}));
    const std::vector<std::string>& timeline = page()->timeline();
    ASSERT_GE(timeline.size(), 2u);
    EXPECT_TRUE(timeline[timeline.size() - 2].starts_with("remove Studio A"));
    EXPECT_TRUE(timeline.back().starts_with("add Studio B"));
    CoreFoundationTesting::advanceAndRun(fClock, 15s);
    EXPECT_TRUE(page()->deviceNames().empty());
    EXPECT_TRUE(page()->problems().empty());
}

TEST_F(MixerDiscoveryFixture, InitSendsTheWholeListEachTime)
{
    launch();
    MixerEndpoint first(LoopbackAddress::host(1), fDelegate->udpPort(), studio("Studio A"));
    MixerEndpoint second(LoopbackAddress::host(2), fDelegate->udpPort(), studio("Studio B"));
    // Only the local endpoint is listed without network control.
    second.setNetworkControl(true);
    const size_t beforeListed = WebKitTesting::scripts().size();
    first.announce();
    second.announce();
    ASSERT_TRUE(advanceUntilListed({"Studio A", "Studio B"}));
    std::vector<std::string> listed = scriptsAfter(beforeListed);
    std::sort(listed.begin(), listed.end());
    ASSERT_EQ(listed.size(), 2u);
    for (int init = 0; init < 2; ++init) {
        SCOPED_TRACE(init);
        const size_t before = WebKitTesting::scripts().size();
        post("FD5Init");
        ASSERT_TRUE(advanceUntil([&] { return scriptsAfter(before).size() >= listed.size(); }));
        std::vector<std::string> sent = scriptsAfter(before);
        std::sort(sent.begin(), sent.end());
        EXPECT_EQ(sent, listed) << "every endpoint is added again";
    }
    EXPECT_EQ(page()->deviceNames(), (std::vector<std::string>{"Studio A", "Studio B"}));
    EXPECT_TRUE(page()->problems().empty());
}

TEST_F(MixerDiscoveryFixture, ClosingTheWindowEndsTheApplicationAndItsListener)
{
    MainMenu::Register(0);
    uint16_t port = 0;
    size_t scriptsAtClose = 0;
    AppKitTesting::afterLaunch({
        [&] { CoreFoundationTesting::runUntilIdle(); },
        [&] {
            port = MainMenu::delegate()->udpPort();
            scriptsAtClose = WebKitTesting::scripts().size();
            // The page asks for the list, and the close comes before the host takes the message.
            WebKitTesting::postScriptMessage(MainMenu::delegate()->webView(), "msgJStoObjC", "FD5Init");
            AppKitTesting::performClose(MainMenu::delegate()->window());
        },
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(NSApplicationMain(0, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket closed\n");
    EXPECT_NE(port, 0);
    EXPECT_TRUE(SimNetwork::udpPortIsFree(port));
    EXPECT_TRUE(FoundationTesting::activeActivities().empty());
    CoreFoundationTesting::advanceAndRun(fClock, 10s);
    EXPECT_EQ(WebKitTesting::scripts().size(), scriptsAtClose) << "no update after termination";
    ASSERT_NE(page(), nullptr);
    EXPECT_EQ(page()->driverVersion(), "2.0.0+95035");
    WebKitTesting::releaseScriptMessageHandlers();
    MainMenu::Release();
}

} // namespace
