#pragma once

// The updater with the real FPGA stage: the Jam STAPL player programming the simulated unit's FPGA
// through its run-mode face, on the manual clock. The container's programs are made for each variant.

#include "ContainerFiles.h"
#include "FpgaPrograms.h"
#include "UpdaterHarness.h"
#include "jam.h"

#include <DarwinTesting/Eventually.h>
#include <Wrenlet/JtagTarget.h>

#include <array>
#include <functional>

namespace UpdaterTests {

using Wrenlet::JtagTarget;

inline constexpr const char* kFPGAVersion = "7.5";

class WrenletFpgaRun : public UpdaterHarness
{
protected:
    void SetUp() override
    {
        UpdaterHarness::SetUp();
        fContainer = FirmwareContainer::FromParts("2.2", kFPGAVersion, Programs({}));
    }

    // The image of the harness's container and a program for each variant, the variant's spec changed
    // as given.
    std::array<std::vector<uint8_t>, 4> Programs(const std::function<void(char, FpgaProgramSpec&)>& change)
    {
        std::array<std::vector<uint8_t>, 4> parts;
        const auto image = Wrenlet::FirmwareImage::build("2.2", kImageSize);
        parts[0] = image;
        for (const char variant : {'A', 'B', 'C'}) {
            FpgaProgramSpec spec{.variant = variant,
                                 .version = kFPGAVersion,
                                 .action = variant == 'A' ? "PROGRAM" : "RUN_FILE"};
            if (change) {
                change(variant, spec);
            }
            parts[size_t(variant - 'A' + 1)] = makeFpgaProgram(spec);
        }
        return parts;
    }

    // The harness's container as the container builder makes it, for signing.
    ContainerSpec ContainerFileSpec()
    {
        ContainerSpec spec;
        spec.firmwareVersion = "2.2";
        spec.fpgaVersion = kFPGAVersion;
        spec.sections = Programs({});
        return spec;
    }

    // Stands between a run and the updater, so that the harness sees how the updater takes the
    // run's FinishedFPGA.
    class CountedClient : public USB_FPGA::Client
    {
    public:
        CountedClient(WrenletFpgaRun& run, std::weak_ptr<USB_FPGA::Client> updater)
            : fRun(run), fUpdater(std::move(updater))
        {}
        void FinishedFPGA(USB_FPGA::Result result) override { fRun.DeliverFinished(fUpdater, result); }

    private:
        WrenletFpgaRun& fRun;
        std::weak_ptr<USB_FPGA::Client> fUpdater;
    };

    // The updater with the real player; the run is work the manual clock waits for.
    void LaunchWithPlayer(bool withContainer = true)
    {
        LaunchWith(
            [this](std::stop_token stop, std::weak_ptr<USB_FPGA::Client> client, std::shared_ptr<WRNA> device,
                   const std::string& action, const uint8_t* data, size_t length) {
                DarwinClock::Activity activity("FPGA run");
                const auto counted = std::make_shared<CountedClient>(*this, std::move(client));
                {
                    std::lock_guard lock(fLock);
                    fActions.push_back(action);
                    // Kept for the FinishedFPGA that the run posts with a weak reference.
                    fCountedClients.push_back(counted);
                }
                jam(std::move(stop), counted, std::move(device), action, data, length);
            },
            withContainer);
    }

    void LaunchWith(USB_FPGA::Player player, bool withContainer = true)
    {
        MainMenu::Register(std::move(player));
        MainMenu::Build();
        fDelegate = static_cast<AppDelegate*>(NS::Application::sharedApplication().delegate());
        fDelegate->applicationDidFinishLaunching(nullptr);
        if (withContainer) {
            fDelegate->GetUpdater()->FirmwareVerified(fContainer, "wrenlet.image");
        }
    }

    void Connect(bool withContainer = true)
    {
        fUnit->powerOn();
        LaunchWithPlayer(withContainer);
        ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    }

    // Steps the clock until `condition` holds. The manual clock waits for the FPGA stage's thread only
    // at the timed waits it registers, so simulated time runs on while that thread is slow to start or
    // to run on a loaded machine: the limit is real time.
    bool RunUntilStageEnds(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            Step(1ms);
        }
        return true;
    }

    bool RunToEnd()
    {
        return RunUntilStageEnds([&] { return TheUpdater().GetState() == Updater::kIdle && Finished(); });
    }

    std::vector<JtagTarget::Request> JtagRequests()
    {
        std::vector<JtagTarget::Request> requests;
        fUnit->withJtag([&](JtagTarget& target) { requests = target.requests(); });
        return requests;
    }

    std::vector<bool> ProgramEnables()
    {
        std::vector<bool> transitions;
        fUnit->withJtag([&](JtagTarget& target) { transitions = target.programEnableTransitions(); });
        return transitions;
    }

    std::vector<std::shared_ptr<CountedClient>> fCountedClients;
};

} // namespace UpdaterTests
