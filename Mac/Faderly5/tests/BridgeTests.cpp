#include "MixerFixture.h"

#include <DarwinTesting/LogCapture.h>
#include <FoundationTesting/Activities.h>

namespace {

struct BridgeRow
{
    nlohmann::json fBody;
    std::vector<std::string> fLaunches;
    std::vector<std::string> fScripts;
    std::vector<std::string> fURLs;
};

TEST_F(MixerFixture, BridgeAnswersEachMessageAsTheHostDoes)
{
    launch();
    const std::string pyx = (resources() / "Vork Pyx Firmware Updater.app").string();
    const std::string wrenlet = (resources() / "Vork Firmware Updater.app").string();
    const std::vector<BridgeRow> rows = {
        {"start", {}, {"gApp.appdata.updater.updateDriverVersion('2.0.0+95035')"}, {}},
        {"driver", {}, {}, {"https://vork.example/downloads/tide"}},
        {"open Pyx updater", {pyx}, {}, {}},
        {"open anything", {wrenlet}, {}, {}},
        {"open ", {wrenlet}, {}, {}},
        {"open pyx", {wrenlet}, {}, {}},
        {"open", {}, {}, {}},
        {"savePreset_wrn", {}, {}, {}},
        {"loadPreset_wrn ", {}, {}, {}},
        {"", {}, {}, {}},
        {"x", {}, {}, {}},
        {42, {}, {}, {}},
        {true, {}, {}, {}},
        {nullptr, {}, {}, {}},
        {nlohmann::json::array({"FD5Init"}), {}, {}, {}},
        {{{"a", 1}}, {}, {}, {}},
    };
    testing::internal::CaptureStdout();
    DarwinTesting::LogCapture log;
    for (const BridgeRow& row : rows) {
        SCOPED_TRACE(row.fBody.dump());
        AppKitTesting::resetApplication();
        NS::Application::sharedApplication().setDelegate(fDelegate);
        const size_t scripts = WebKitTesting::scripts().size();
        post(row.fBody);
        EXPECT_EQ(AppKitTesting::launchedApplications(), row.fLaunches);
        EXPECT_EQ(scriptsAfter(scripts), row.fScripts);
        EXPECT_EQ(AppKitTesting::openedURLs(), row.fURLs);
        EXPECT_TRUE(AppKitTesting::panelsRun().empty());
    }
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(MixerFixture, TerminationStopsTheListenerTheTimerAndTheActivity)
{
    launch();
    testing::internal::CaptureStdout();
    terminate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket closed\n");
    EXPECT_TRUE(FoundationTesting::activeActivities().empty());
    const size_t before = WebKitTesting::scripts().size();
    fDelegate->udpTimerCallback();
    post("FD5Init");
    EXPECT_EQ(WebKitTesting::scripts().size(), before) << "an update after termination does nothing";
}

} // namespace
