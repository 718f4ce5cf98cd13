#pragma once

// The updater as a user runs it, against a simulated Wrenlet on the process's bus: the window
// built by its nib, a verified container handed over, clicks, and time stepped on the manual
// clock. The FPGA stage is scripted.

#include "AppDelegate.h"
#include "FirmwareContainer.h"
#include "MainMenu.h"
#include "Updater.h"
#include "WRNA.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <SimUSB/Bus.h>
#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>
#include <dispatch/dispatch.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace UpdaterTests {

using namespace std::chrono_literals;

constexpr uint8_t kUnitPort = 11;
constexpr uint16_t kMakerVendor = 0x3A1C;
constexpr size_t kImageSize = 1301;

// What the scripted FPGA stage does on its thread.
struct FPGAScript
{
    int requests = 3;
    // Set on the unit when the run ends, unless empty.
    std::string newVersion = "7.5";
    USB_FPGA::Result result;
};

inline std::string Text(NS::TextField* field)
{
    char buffer[256] = {};
    if (field->stringValue() != nullptr) {
        CFStringGetCString(field->stringValue(), buffer, sizeof buffer, kCFStringEncodingUTF8);
    }
    return buffer;
}

class UpdaterHarness : public testing::Test
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        fUnit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
        fUnit->installFirmware(Wrenlet::FirmwareImage::build("2.1", kImageSize));
        fUnit->setFpgaVersion("7.4");
        fUnit->withBootLoader([](Wrenlet::SambaBootLoader& loader) {
            loader.flashController().setTiming(
                {.busyReads = 2, .eraseBusyReads = 6, .busyNs = 1'000'000, .eraseBusyNs = 10'000'000});
        });
        fContainer = MakeContainer(Wrenlet::FirmwareImage::build("2.2", kImageSize), "7.5");
        testing::internal::CaptureStdout();
        fCapturing = true;
    }

    void TearDown() override
    {
        OpenGate();
        Quit();
        StopCapture();
        if (HasFailure()) {
            // gtest's own report went into the capture too.
            fprintf(stderr, "%s", fOutput.c_str());
        }
        fUnit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
        // Blocks the FPGA stage posted after its updater went.
        CoreFoundationTesting::runUntilIdle();
    }

    static std::shared_ptr<const FirmwareContainer>
    MakeContainer(std::vector<uint8_t> image, const std::string& fpga, const std::string& firmware = "2.2")
    {
        return FirmwareContainer::FromParts(firmware, fpga, {std::move(image), {1, 2, 3}, {4, 5}, {6}});
    }

    // The window and its delegate as the nib makes them, before the launch.
    void BuildWindow()
    {
        MainMenu::Register([this](std::stop_token, std::weak_ptr<USB_FPGA::Client> client,
                                  std::shared_ptr<WRNA> device, const std::string& action, const uint8_t*,
                                  size_t) { PlayFPGA(std::move(client), std::move(device), action); });
        MainMenu::Build();
        fDelegate = static_cast<AppDelegate*>(NS::Application::sharedApplication().delegate());
    }

    // Launches the updater as the app does, with the container loaded.
    void Launch()
    {
        BuildWindow();
        fDelegate->applicationDidFinishLaunching(nullptr);
        fDelegate->GetUpdater()->FirmwareVerified(fContainer, "wrenlet.image");
    }

    // What termination does: the delegate and the Updater go.
    void Quit()
    {
        if (fDelegate != nullptr) {
            fDelegate->applicationWillTerminate(nullptr);
            MainMenu::Release();
            fDelegate = nullptr;
        }
    }

    void PlayFPGA(std::weak_ptr<USB_FPGA::Client> client, std::shared_ptr<WRNA> device,
                  const std::string& action)
    {
        FPGAScript script;
        {
            std::unique_lock lock(fLock);
            fActions.push_back(action);
            if (!fGate.wait_for(lock, 10s, [&] { return fGateOpen; })) {
                ADD_FAILURE() << "the FPGA stage was never let go";
            }
            script = fScript;
        }
        // The manual clock waits for the stage's work instead of racing it.
        DarwinClock::Activity activity("scripted FPGA stage");
        for (int i = 0; i < script.requests; ++i) {
            device->FPGAVersion();
        }
        if (!script.newVersion.empty()) {
            fUnit->setFpgaVersion(script.newVersion);
        }
        dispatch_async(dispatch_get_main_queue(),
                       [this, client, result = script.result] { DeliverFinished(client, result); });
        activity.end();
    }

    // Hands a run's FinishedFPGA to the updater, if it is still there, as the main queue does, and
    // counts how it was taken: in the FPGA stage, which the updater then left, or otherwise.
    void DeliverFinished(const std::weak_ptr<USB_FPGA::Client>& client, USB_FPGA::Result result)
    {
        const std::shared_ptr<USB_FPGA::Client> updater = client.lock();
        if (!updater) {
            return;
        }
        const bool inStage = InFPGAStage();
        updater->FinishedFPGA(result);
        const bool taken = inStage && !InFPGAStage();
        std::lock_guard lock(fLock);
        ++(taken ? fFinishedTaken : fFinishedStray);
    }

    // Every FPGA run so far has ended the FPGA stage with its FinishedFPGA, once.
    void ExpectEveryRunFinishedOnce(int cycle)
    {
        std::lock_guard lock(fLock);
        EXPECT_EQ(fFinishedTaken, fActions.size()) << "cycle " << cycle;
        EXPECT_EQ(fFinishedStray, 0u) << "cycle " << cycle;
    }

    // Steps the clock until `condition` holds, at most `limit` of simulated time. The FPGA stage runs
    // on its own thread, which the manual clock waits for only once the stage's work has begun: while
    // the updater is in that stage, simulated time runs on without counting against `limit`, and
    // the wait is bounded in real time instead, so that a thread slow to start on a loaded machine
    // does not end the wait early.
    bool RunUntil(const std::function<bool()>& condition, std::chrono::nanoseconds limit = 60s,
                  std::chrono::nanoseconds step = 1ms)
    {
        auto stepped = 0ns;
        bool inStage = false;
        auto stageDeadline = std::chrono::steady_clock::time_point::max();
        while (!condition()) {
            if (InFPGAStage()) {
                if (!inStage) {
                    inStage = true;
                    stageDeadline = std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
                } else if (std::chrono::steady_clock::now() > stageDeadline) {
                    return false;
                }
            } else {
                inStage = false;
                if (stepped >= limit) {
                    return SettlesWithoutTime(condition);
                }
                stepped += step;
            }
            CoreFoundationTesting::advanceAndRun(fClock, step);
        }
        return true;
    }
    // Once the simulated limit is spent, threads that run on real time (a request still on its
    // way on a busy machine) get real time to finish, while the clock stands.
    bool SettlesWithoutTime(const std::function<bool()>& condition)
    {
        return DarwinTesting::eventually([&] {
            CoreFoundationTesting::advanceAndRun(fClock, 0ns);
            return condition();
        });
    }
    bool InFPGAStage()
    {
        return fDelegate != nullptr && fDelegate->GetUpdater() != nullptr &&
               TheUpdater().GetState() == Updater::kWritingFPGA;
    }
    // Holds the scripted FPGA stage at its start until OpenGate.
    void CloseGate()
    {
        std::lock_guard lock(fLock);
        fGateOpen = false;
    }
    void OpenGate()
    {
        std::lock_guard lock(fLock);
        fGateOpen = true;
        fGate.notify_all();
    }

    void Step(std::chrono::nanoseconds time) { CoreFoundationTesting::advanceAndRun(fClock, time); }

    Updater& TheUpdater() { return *fDelegate->GetUpdater(); }
    std::string Progress() { return Text(fDelegate->ProgressLabel); }
    std::string DeviceText() { return Text(fDelegate->DeviceLabel); }
    bool Finished() { return !fDelegate->OKButton->isHidden(); }

    // Standard output so far, as lines.
    std::vector<std::string> Printed()
    {
        StopCapture();
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = fOutput.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(fOutput.substr(start, end - start));
        }
        testing::internal::CaptureStdout();
        fCapturing = true;
        return lines;
    }
    void StopCapture()
    {
        if (fCapturing) {
            fflush(stdout);
            fOutput += testing::internal::GetCapturedStdout();
            fCapturing = false;
        }
    }

    std::vector<std::string> BootLoaderCommands()
    {
        std::vector<std::string> commands;
        fUnit->withBootLoader([&](Wrenlet::SambaBootLoader& loader) { commands = loader.commandLog(); });
        return commands;
    }

    // The unit powered on again is whole: it runs from an image equal to section 1 with the boot flag set.
    void ExpectUnitUpdated()
    {
        const Wrenlet::ChipState chip = fUnit->chip();
        const auto section = fContainer->Section(1);
        EXPECT_TRUE(std::equal(section.begin(), section.end(), chip.flash.begin()));
        EXPECT_TRUE(chip.bootFromFlash());
        EXPECT_EQ(fUnit->face(), Wrenlet::WrenletHardware::Face::RunMode);
        EXPECT_EQ(fUnit->firmwareVersion(), fContainer->FirmwareVersion());
        EXPECT_EQ(fUnit->fpgaVersion(), fContainer->FPGAVersion());
    }

    DarwinTesting::ManualClock fClock;
    std::shared_ptr<Wrenlet::WrenletHardware> fUnit = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kUnitPort, {.vendorID = kMakerVendor, .rebootDelay = 200'000'000});
    std::shared_ptr<const FirmwareContainer> fContainer;
    AppDelegate* fDelegate = nullptr;

    std::mutex fLock;
    FPGAScript fScript;
    // The action of each FPGA run, in the order they began.
    std::vector<std::string> fActions;
    size_t fFinishedTaken = 0;
    size_t fFinishedStray = 0;
    std::condition_variable fGate;
    bool fGateOpen = true;

    bool fCapturing = false;
    std::string fOutput;
};

} // namespace UpdaterTests
