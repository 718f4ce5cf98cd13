// The FPGA stage with the real player, 100 times over: the run on its thread, the 0.3 s interval
// ticking, FinishedFPGA posted to the main queue, the unit removed and attached again from the test
// thread at random moments, and the launch downloads completing meanwhile. Every FinishedFPGA ends
// its run's stage, once; the unit always boots, and after each "Success!" its FPGA holds the new
// version over the current flash.

#include "../FirmwareSite.h"
#include "../FpgaRunHarness.h"

#include <FoundationTesting/URLLoading.h>

#include <random>

using namespace UpdaterTests;

namespace {

constexpr int kRuns = 100;

} // namespace

TEST_F(WrenletFpgaRun, StressedByRemovalsAndDownloads)
{
    // The launch downloads find the same firmware on the server, signed with the build's key.
    const FirmwareSite site(xzCompress(signedContainer(ContainerFileSpec())));

    std::mt19937 random(20261210);
    fUnit->installFirmware(fContainer->Section(1));
    fUnit->powerOn();
    int succeeded = 0;
    for (int run = 0; run < kRuns; ++run) {
        // Flash already current: each update goes straight to the FPGA stage.
        fUnit->setFpgaVersion(run % 2 == 0 ? "7.4" : "7.3");
        LaunchWithPlayer();
        ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s)) << "run " << run;
        fDelegate->UpdateButton->performClick();
        const int steps = int(random() % 400);
        for (int step = 0; step < steps && !Finished(); ++step) {
            Step(1ms);
        }
        if (!Finished()) {
            fUnit->powerOff();
            Step(std::chrono::milliseconds(random() % 50));
            fUnit->powerOn();
        }
        ASSERT_TRUE(RunUntilStageEnds([&] {
            return TheUpdater().GetState() == Updater::kIdle && (Finished() || !fDelegate->IsConnected());
        })) << "run "
            << run;
        ExpectEveryRunFinishedOnce(run);
        if (Progress() == "Success!") {
            ++succeeded;
            SCOPED_TRACE("run " + std::to_string(run));
            ExpectUnitUpdated();
        }
        Quit();
        Step(1s);
        ASSERT_FALSE(fUnit->isBricked()) << "run " << run;
        if (fUnit->face() == Wrenlet::WrenletHardware::Face::Off) {
            fUnit->powerOn();
        }
    }
    EXPECT_GT(succeeded, 0);
    FoundationTesting::resetURLLoading();
}
