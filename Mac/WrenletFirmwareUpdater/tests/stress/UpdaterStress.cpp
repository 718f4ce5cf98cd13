// Updates cut by power losses at random moments, 200 times over: the bus completes transfers on
// its own threads, the scripted FPGA stage makes device requests from its thread, and the test
// thread powers the unit off and on. Every cycle ends, every FPGA run ends its stage once, the unit
// always boots, and after each "Success!" it holds the cycle's firmware and FPGA versions.

#include "../UpdaterHarness.h"

#include <random>

using namespace UpdaterTests;
using Face = Wrenlet::WrenletHardware::Face;

namespace {

constexpr int kCycles = 200;
constexpr const char* kNoDevice = "No Wrenlet detected. Please check cables.";

class WrenletUpdaterStress : public UpdaterHarness
{
protected:
    bool Connect()
    {
        if (!RunUntil([&] { return fDelegate->IsConnected() || !fDelegate->CheckDeviceButton->isHidden(); },
                      5s)) {
            return false;
        }
        if (!fDelegate->IsConnected()) {
            fDelegate->CheckDeviceButton->performClick();
        }
        return RunUntil([&] { return fDelegate->IsConnected(); }, 5s);
    }
};

} // namespace

TEST_F(WrenletUpdaterStress, PowerLossesAtRandomMoments)
{
    std::mt19937 random(20261210);
    fUnit->powerOn();
    int succeeded = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const bool odd = cycle % 2 != 0;
        fContainer = MakeContainer(Wrenlet::FirmwareImage::build(odd ? "2.3" : "2.2", kImageSize),
                                   odd ? "7.6" : "7.5", odd ? "2.3" : "2.2");
        {
            std::lock_guard lock(fLock);
            fScript = FPGAScript{3, fContainer->FPGAVersion(), {}};
        }
        Launch();
        ASSERT_TRUE(Connect()) << "cycle " << cycle;
        fDelegate->UpdateButton->performClick();
        const int steps = int(random() % 1200);
        for (int step = 0; step < steps && !Finished(); ++step) {
            Step(125us);
        }
        if (!Finished()) {
            fUnit->powerOff();
            Step(std::chrono::milliseconds(random() % 50));
            fUnit->powerOn();
        }
        ASSERT_TRUE(RunUntil(
            [&] {
                return TheUpdater().GetState() == Updater::kIdle && (Finished() || DeviceText() == kNoDevice);
            },
            120s))
            << "cycle " << cycle << " state " << TheUpdater().GetState();
        ExpectEveryRunFinishedOnce(cycle);
        if (Progress() == "Success!") {
            ++succeeded;
            SCOPED_TRACE("cycle " + std::to_string(cycle));
            ExpectUnitUpdated();
        }
        Quit();
        Step(1s);
        ASSERT_FALSE(fUnit->isBricked()) << "cycle " << cycle;
        if (fUnit->face() == Face::Off) {
            fUnit->powerOn();
        }
    }
    EXPECT_GT(succeeded, 0);
}
