// The update as a user makes it, from run mode and from the boot loader, and how it ends.

#include "UpdaterHarness.h"

#include <IOKitTesting/USBDevices.h>

#include <algorithm>
#include <map>

using namespace UpdaterTests;

namespace {

constexpr const char* kNoDevice = "No Wrenlet detected. Please check cables.";

Wrenlet::WrenletHardware::RunModeOptions SerialOption(const std::string& serial)
{
    return {.serial = serial,
            .lowerCaseSerial = false,
            .rawSerialDescriptor = std::nullopt,
            .serialDescriptorLength = std::nullopt,
            .versionsWithoutNul = false};
}

class UpdaterScenario : public UpdaterHarness
{
protected:
    // Powers the unit on, launches, and waits until the window shows it.
    void Connect()
    {
        fUnit->powerOn();
        Launch();
        ASSERT_TRUE(RunUntil(
            [&] { return fDelegate->IsConnected() || !fDelegate->CheckDeviceButton->isHidden(); }, 5s));
    }

    bool RunToEnd(std::chrono::nanoseconds limit = 60s)
    {
        return RunUntil([&] { return TheUpdater().GetState() == Updater::kIdle && Finished(); }, limit);
    }

    static size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0)
    {
        auto found = std::find(lines.begin() + long(std::min(from, lines.size())), lines.end(), line);
        return size_t(found - lines.begin());
    }

    // The texts appear in this order.
    static void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts)
    {
        size_t at = 0;
        for (const std::string& text : texts) {
            const size_t found = IndexOf(lines, text, at);
            ASSERT_LT(found, lines.size()) << "missing or out of order: " << text;
            at = found + 1;
        }
    }
};

} // namespace

TEST_F(UpdaterScenario, FromRunModeWithANewFPGA)
{
    Connect();
    EXPECT_EQ(DeviceText(), "Device Connected: Wrenlet (WRNA0A1B2C)");
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "2.1:7.4");
    EXPECT_TRUE(fDelegate->UpdateButton->isEnabled());
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    ExpectInOrder(Printed(), {"Rebooting...", "UID...", "Comparing...", "SAMBA...", "Erasing...",
                              "Writing...", "Verifying...", "Run Mode...", "Rebooting...", "Writing FPGA...",
                              "Rebooting...", "Success!"});
    EXPECT_EQ(fActions, std::vector<std::string>{"program"});
    EXPECT_TRUE(fDelegate->Progress->isHidden());
    ExpectUnitUpdated();

    const auto commands = BootLoaderCommands();
    const size_t clear = IndexOf(commands, "W400E0C04,5A00010C#");
    const size_t erase = IndexOf(commands, "W400E0C04,5A000005#");
    const size_t set = IndexOf(commands, "W400E0C04,5A00010B#");
    EXPECT_LT(clear, erase);
    EXPECT_LT(erase, set);
    EXPECT_LT(set, commands.size());
    EXPECT_EQ(commands.back(), "W400E1800,A5000001#");
}

TEST_F(UpdaterScenario, FromRunModeWithTheFPGAAlreadyCurrent)
{
    fUnit->setFpgaVersion("7.5");
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    EXPECT_TRUE(fActions.empty());
    const auto printed = Printed();
    EXPECT_EQ(IndexOf(printed, "Writing FPGA..."), printed.size());
    ExpectUnitUpdated();
}

TEST_F(UpdaterScenario, FromTheBootLoaderAfterCheckDevice)
{
    fUnit->setBootFlag(false);
    Connect();
    EXPECT_EQ(DeviceText(), "Device Connected: Update Mode Device");
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "Unknown");
    fDelegate->CheckDeviceButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    EXPECT_EQ(DeviceText(), "Device Connected: Wrenlet (WRNA0A1B2C)");
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    ExpectInOrder(Printed(), {"Device Connected: Update Mode Device", "Comparing...", "SAMBA...",
                              "Run Mode...", "Rebooting...", "Success!"});
    ExpectUnitUpdated();
}

TEST_F(UpdaterScenario, FlashAlreadyEqualSkipsTheErase)
{
    fUnit->installFirmware(fContainer->Section(1));
    fUnit->setFpgaVersion("7.5");
    Connect();
    EXPECT_EQ(Progress(), "Up to date!");
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    const auto commands = BootLoaderCommands();
    EXPECT_EQ(IndexOf(commands, "W400E0C04,5A000005#"), commands.size());
    ExpectInOrder(Printed(), {"Comparing...", "Run Mode...", "Rebooting...", "Success!"});
}

TEST_F(UpdaterScenario, UpdatePressedTwice)
{
    Connect();
    fDelegate->UpdateButton->performClick();
    fDelegate->GetUpdater()->Update();
    ExpectInOrder(Printed(), {"Rebooting...", "Firmware Update In Progress"});
    ASSERT_TRUE(RunToEnd());
}

struct FailureCase
{
    const char* name;
    std::function<void(Wrenlet::WrenletHardware&)> arrange;
    const char* text;
};

class UpdaterFailure : public UpdaterScenario, public testing::WithParamInterface<FailureCase>
{};

TEST_P(UpdaterFailure, EndsInStateZeroWithTheOKButton)
{
    GetParam().arrange(*fUnit);
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd(90s));
    EXPECT_EQ(Progress(), GetParam().text);
    EXPECT_FALSE(fDelegate->OKButton->isHidden());
    EXPECT_TRUE(fDelegate->Progress->isHidden());
    EXPECT_FALSE(fUnit->isBricked());
}

namespace {

void forceError(Wrenlet::WrenletHardware& unit, uint8_t command)
{
    unit.withBootLoader([command](Wrenlet::SambaBootLoader& loader) {
        loader.flashController().forceError(
            Wrenlet::FlashController::ForcedError{command, Wrenlet::FlashController::FLERR});
    });
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdaterFailure,
    testing::Values(
        FailureCase{"UID", [](auto& unit) { unit.setRunModeOptions(SerialOption("WRNA999999")); },
                    "UID Error"},
        FailureCase{"ShortSerial", [](auto& unit) { unit.setRunModeOptions(SerialOption("2C")); },
                    "UID Error"},
        FailureCase{"LatchSAMBA", [](auto& unit) { forceError(unit, Wrenlet::FlashController::CGPB); },
                    "Latch SAMBA Error"},
        FailureCase{"Erase", [](auto& unit) { forceError(unit, Wrenlet::FlashController::EA); },
                    "Erase Failed"},
        FailureCase{"Write", [](auto& unit) { forceError(unit, Wrenlet::FlashController::WP); },
                    "Write Failed"},
        FailureCase{"LatchRun", [](auto& unit) { forceError(unit, Wrenlet::FlashController::SGPB); },
                    "Latch Run Error"},
        FailureCase{"Verify", [](auto& unit) { unit.flipFlashByteAfterPages(3, 700); }, "Verify Failed"},
        FailureCase{"UnknownModel", [](auto& unit) { unit.setRunModeOptions(SerialOption("WRNX0A1B2C")); },
                    "FPGA Write Failed"},
        FailureCase{"RebootIgnored", [](auto& unit) { unit.powerOffOnRequest(3); }, "Reboot Fail"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(UpdaterScenario, TransferErrorIsACOMError)
{
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kComparing; }, 10s, 125us));
    SimUSB::Bus::shared().injectFault(
        kUnitPort, Wrenlet::kBootLoaderBulkIn,
        {SimUSB::Fault::Kind::RequestStatus, SimUSB::Fault::Trigger::FromNow, 0, 1, SimUSB::kNotResponding});
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "COM Error");
    SimUSB::Bus::shared().clearFaults(kUnitPort);
}

TEST_F(UpdaterScenario, ResetWriteThatFailsIsARebootFail)
{
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kSettingBootFlag; }, 60s, 125us));
    // Fine steps from here, so the reset's text is seldom out before the fault below is set.
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kResetting; }, 1s, 1us));
    // The reset's text never leaves: its piece ends by its time-out with nothing moved.
    SimUSB::Bus::shared().injectFault(kUnitPort, Wrenlet::kBootLoaderBulkOut,
                                      {SimUSB::Fault::Kind::NoAnswer, SimUSB::Fault::Trigger::FromNow, 0, 1});
    // With the clock in fine steps the write is still waiting for its microframe here.
    ASSERT_EQ(IndexOf(BootLoaderCommands(), "W400E1800,A5000001#"), BootLoaderCommands().size())
        << "the reset's text left before its fault was set";
    // At once, not at the end of the wait for the unit.
    ASSERT_TRUE(RunToEnd(1s));
    SimUSB::Bus::shared().clearFaults(kUnitPort);
    EXPECT_EQ(Progress(), "Reboot Fail");
    EXPECT_FALSE(fDelegate->OKButton->isHidden());
    EXPECT_TRUE(fDelegate->Progress->isHidden());
    const auto commands = BootLoaderCommands();
    EXPECT_LT(IndexOf(commands, "W400E0C04,5A00010B#"), commands.size());
    EXPECT_EQ(IndexOf(commands, "W400E1800,A5000001#"), commands.size());
    // The flash was verified and the boot flag set: powered again, the unit runs the new image.
    fUnit->powerOff();
    fUnit->powerOn();
    Step(1s);
    EXPECT_EQ(fUnit->face(), Wrenlet::WrenletHardware::Face::RunMode);
    EXPECT_EQ(fUnit->firmwareVersion(), "2.2");
}

struct RebootLimitCase
{
    const char* name;
    Updater::State state;
    // The unit powers off instead of answering this vendor request; without one, it powers off once
    // the state is reached.
    std::optional<uint8_t> request;
    // The devices the updater has let go once the unit is off: each time the unit leaves the bus.
    long releases;
};

class UpdaterRebootLimit : public UpdaterScenario, public testing::WithParamInterface<RebootLimitCase>
{};

TEST_P(UpdaterRebootLimit, AUnitThatNeverComesBackFailsAtThirtySeconds)
{
    const RebootLimitCase& c = GetParam();
    if (c.request) {
        fUnit->powerOffOnRequest(*c.request);
    }
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == c.state; }, 60s, 125us));
    if (!c.request) {
        fUnit->powerOff();
    }
    // The unit's leaving reaches the updater on real time. It has come long before the limit on any
    // machine, so the clock waits for it: gone after an ended update, it would take the end's
    // message and button away.
    ASSERT_TRUE(SettlesWithoutTime([&] {
        const std::vector<std::string> printed = Printed();
        return std::count(printed.begin(), printed.end(), "Releasing Device") == c.releases;
    }));
    Step(29'990ms);
    EXPECT_EQ(TheUpdater().GetState(), c.state);
    EXPECT_FALSE(Finished());
    ASSERT_TRUE(
        RunUntil([&] { return TheUpdater().GetState() == Updater::kIdle && Finished(); }, 20ms, 125us));
    EXPECT_EQ(Progress(), "Reboot Fail");
    EXPECT_TRUE(fDelegate->Progress->isHidden());
    fUnit->powerOn();
    Step(1s);
    EXPECT_FALSE(fUnit->isBricked());
}

INSTANTIATE_TEST_SUITE_P(States, UpdaterRebootLimit,
                         testing::Values(RebootLimitCase{"State1", Updater::kRebootingToBootLoader, 3, 1},
                                         RebootLimitCase{"State10", Updater::kResetting, std::nullopt, 2},
                                         RebootLimitCase{"State12", Updater::kRebootingAfterFPGA, 4, 3}),
                         [](const testing::TestParamInfo<RebootLimitCase>& info) {
                             return std::string(info.param.name);
                         });

// The unit goes while a piece's completion waits on the run loop. Whether that completion runs
// before the removal or is withdrawn by it, the dropped command fails nothing and sends nothing.
class UpdaterRemovalOrder : public UpdaterScenario,
                            public testing::WithParamInterface<IOKitTesting::CompletionOrder>
{};

TEST_P(UpdaterRemovalOrder, ACompletionForADroppedCommandIsIgnored)
{
    IOKitTesting::USBDeviceScript script;
    script.setCompletionOrder(GetParam());
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kWriting; }, 60s, 125us));
    const size_t pieces = fUnit->traffic().outPieces;
    fClock.advance(125us);
    ASSERT_EQ(fUnit->traffic().outPieces, pieces + 1);
    fUnit->powerOff();
    SimUSB::Bus::shared().settle();
    Step(1s);
    EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle);
    EXPECT_EQ(DeviceText(), kNoDevice);
    const auto printed = Printed();
    EXPECT_EQ(IndexOf(printed, "COM Error"), printed.size());
    EXPECT_EQ(IndexOf(printed, "Write Failed"), printed.size());

    fUnit->powerOn();
    Step(1s);
    EXPECT_FALSE(fUnit->isBricked());
}

INSTANTIATE_TEST_SUITE_P(Orders, UpdaterRemovalOrder,
                         testing::Values(IOKitTesting::CompletionOrder::BeforeTerminate,
                                         IOKitTesting::CompletionOrder::AfterTerminate),
                         [](const testing::TestParamInfo<IOKitTesting::CompletionOrder>& info) {
                             return std::string(IOKitTesting::nameOf(info.param));
                         });

struct FPGAEndCase
{
    const char* name;
    FPGAScript script;
    const char* text;
};

class UpdaterFPGAEnd : public UpdaterScenario, public testing::WithParamInterface<FPGAEndCase>
{};

TEST_P(UpdaterFPGAEnd, SuccessOnlyWithTheNewVersion)
{
    {
        std::lock_guard lock(fLock);
        fScript = GetParam().script;
    }
    Connect();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), GetParam().text);
    const auto printed = Printed();
    // A failed run sends no reboot request.
    const bool rebooted = std::count(printed.begin(), printed.end(), "Rebooting...") == 3;
    EXPECT_EQ(rebooted, GetParam().script.result.succeeded());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdaterFPGAEnd,
    testing::Values(FPGAEndCase{"Programmed", {3, "7.5", {0, 0}}, "Success!"},
                    FPGAEndCase{"VerifyFailure", {3, "", {0, 11}}, "FPGA Write Failed"},
                    FPGAEndCase{"PlayerError", {0, "", {10, 0}}, "FPGA Write Failed"},
                    FPGAEndCase{"VersionUnchanged", {3, "", {0, 0}}, "FPGA Write Failed"}),
    [](const testing::TestParamInfo<FPGAEndCase>& info) { return std::string(info.param.name); });

struct ModelCheckCase
{
    const char* name;
    std::optional<char> model;
    size_t offset;
    const char* label;
};

class UpdaterModelCheck : public UpdaterScenario, public testing::WithParamInterface<ModelCheckCase>
{};

TEST_P(UpdaterModelCheck, LabelsTheUnitByItsTag)
{
    fUnit->setSignature(Wrenlet::makeSignature(GetParam().model, GetParam().offset, {0x0A, 0x1B, 0x2C}));
    fUnit->setBootFlag(false);
    Connect();
    fDelegate->CheckDeviceButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return DeviceText() != "Device Connected: Update Mode Device"; }, 5s));
    EXPECT_EQ(DeviceText(), GetParam().label);
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "Unknown");
    EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, UpdaterModelCheck,
    testing::Values(
        ModelCheckCase{"A", 'A', 0, "Device Connected: Wrenlet (WRNA0A1B2C)"},
        ModelCheckCase{"B", 'B', 0, "Device Connected: Wrenlet (WRNB0A1B2C)"},
        ModelCheckCase{"C", 'C', 0, "Device Connected: Wrenlet (WRNC0A1B2C)"},
        ModelCheckCase{"AtOffsetTwo", 'A', 2, "Device Connected: Wrenlet (WRNA0A1B2C)"},
        ModelCheckCase{"NoTag", std::nullopt, 0, "Device Connected: Update Mode Device - Cannot Update"},
        ModelCheckCase{"AtOffsetThree", 'A', 3, "Device Connected: Update Mode Device - Cannot Update"}),
    [](const testing::TestParamInfo<ModelCheckCase>& info) { return std::string(info.param.name); });

TEST_F(UpdaterScenario, RemovalIgnoredWhileTheUnitReboots)
{
    Connect();
    fUnit->powerOffOnRequest(3);
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return fUnit->face() == Wrenlet::WrenletHardware::Face::Off; }, 5s));
    Step(2s);
    EXPECT_EQ(TheUpdater().GetState(), Updater::kRebootingToBootLoader);
    EXPECT_EQ(Progress(), "Rebooting...");
    // Back in the awaited identity within the limit: the update goes on.
    fUnit->setBootFlag(false);
    fUnit->powerOn();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
}

// Fault: the boot loader's removal reset every state but 10, so the run's FinishedFPGA found the
// updater idle and was dropped with its thread unjoined, and the next update's FPGA stage assigned
// its thread over that one.
TEST_F(UpdaterScenario, ABootLoaderComingAndGoingLeavesTheFPGAStageToItsRun)
{
    {
        std::lock_guard lock(fLock);
        fScript.newVersion.clear();
    }
    Connect();
    CloseGate();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kWritingFPGA; }, 60s, 125us));
    fUnit->powerOff();
    ASSERT_TRUE(RunUntil([&] { return DeviceText() == kNoDevice; }, 5s));

    const auto other =
        Wrenlet::WrenletHardware::create(SimUSB::Bus::shared(), kUnitPort + 1, {.vendorID = kMakerVendor});
    other->setSignature(Wrenlet::makeSignature('B', 0, {0x3D, 0x4E, 0x5F}));
    other->setBootFlag(false);
    other->powerOn();
    ASSERT_TRUE(RunUntil([&] { return DeviceText() == "Device Connected: Update Mode Device"; }, 5s));
    other->powerOff();
    ASSERT_TRUE(RunUntil([&] { return DeviceText() == kNoDevice; }, 5s));
    ASSERT_EQ(TheUpdater().GetState(), Updater::kWritingFPGA);

    OpenGate();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kIdle; }, 5s));
    const auto printed = Printed();
    EXPECT_LT(IndexOf(printed, "FPGA Write Failed"), printed.size());

    // The next stage programs the unit.
    {
        std::lock_guard lock(fLock);
        fScript = FPGAScript();
    }
    fUnit->powerOn();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    EXPECT_EQ(fActions, (std::vector<std::string>{"program", "program"}));
    ExpectUnitUpdated();
}

TEST_F(UpdaterScenario, RemovalWhileIdleShowsNoDevice)
{
    Connect();
    fUnit->powerOff();
    ASSERT_TRUE(RunUntil([&] { return DeviceText() == kNoDevice; }, 5s));
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "No Device Connected");
    EXPECT_FALSE(fDelegate->IsConnected());
}

TEST_F(UpdaterScenario, UnplugDuringTheConnectDelayReachesNoGoneDevice)
{
    fUnit->powerOn();
    Launch();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetConnection() == Updater::kRunModeDevice; }, 5s));
    Step(200ms);
    fUnit->powerOff();
    Step(2s);
    EXPECT_FALSE(fDelegate->IsConnected());
    const auto printed = Printed();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), "Device Connected: Wrenlet (WRNA0A1B2C)"), 0);
    EXPECT_EQ(DeviceText(), kNoDevice);
}

TEST_F(UpdaterScenario, VersionWithoutAnEndIsCutAtSixteen)
{
    fUnit->setRunModeOptions({.serial = std::nullopt,
                              .lowerCaseSerial = false,
                              .rawSerialDescriptor = std::nullopt,
                              .serialDescriptorLength = std::nullopt,
                              .versionsWithoutNul = true});
    Connect();
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "2.1.............:7.4.............");
}

TEST_F(UpdaterScenario, FailedVersionReadShowsUnknown)
{
    fUnit->powerOn();
    SimUSB::Bus::shared().settle();
    ASSERT_TRUE(RunUntil([&] { return fUnit->runModeDevice() != nullptr; }, 5s));
    fUnit->runModeDevice()->misbehave({0xC0, 5, std::nullopt, std::nullopt},
                                      {KorvanInterface::KorvanDevice::Misbehaviour::Kind::Stall});
    Launch();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "Unknown");
}

TEST_F(UpdaterScenario, ProgressRisesAndTheFPGATicksStopAtNinetyNine)
{
    // Section 1 begins with the image the unit holds, so the compare runs most of the way.
    std::vector<uint8_t> image = Wrenlet::FirmwareImage::build("2.1", kImageSize);
    image.resize(kImageSize + 700, 0);
    fContainer = MakeContainer(image, "7.5");
    Connect();
    CloseGate();
    std::map<Updater::State, std::vector<double>> progress;
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil(
        [&] {
            const Updater::State state = TheUpdater().GetState();
            if (state == Updater::kComparing || state == Updater::kWriting || state == Updater::kVerifying) {
                progress[state].push_back(fDelegate->Progress->doubleValue());
            }
            return state == Updater::kWritingFPGA;
        },
        60s, 125us));
    for (const Updater::State state : {Updater::kComparing, Updater::kWriting, Updater::kVerifying}) {
        const std::vector<double>& values = progress[state];
        ASSERT_FALSE(values.empty()) << "state " << state;
        EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << "state " << state;
        EXPECT_GT(values.back(), 0) << "state " << state;
    }
    Step(35s);
    EXPECT_EQ(fDelegate->Progress->doubleValue(), 99);
    OpenGate();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kRebootingAfterFPGA; }, 5s, 125us));
    ASSERT_TRUE(RunUntil([&] { return fDelegate->Progress->doubleValue() == 100; }, 5s, 125us));
    ASSERT_TRUE(RunToEnd());
}

// A stage slow to begin, here held at its start, uses up none of a wait's simulated time: the ticks
// reach 99 after 29.7 s, all of it within the stage.
TEST_F(UpdaterScenario, AWaitOutlastsAStageSlowToBegin)
{
    Connect();
    CloseGate();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kWritingFPGA; }, 60s, 125us));
    ASSERT_TRUE(RunUntil([&] { return fDelegate->Progress->doubleValue() == 99; }, 1s, 10ms));
    OpenGate();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
}

// The bridge methods on the window alone: no launch, so no discovery and no download.
TEST_F(UpdaterScenario, BridgeIgnoresEventsWhileNotConnected)
{
    BuildWindow();
    fDelegate->UpdateEventWithStatus(Updater::kEventEnd, "Nothing");
    EXPECT_EQ(Progress(), "");
    EXPECT_TRUE(fDelegate->OKButton->isHidden());

    fDelegate->DeviceConnectedWithVersion("Device Connected: Wrenlet (X)", "1:2");
    fDelegate->UpdateEventWithStatus(Updater::kEventStart, "");
    EXPECT_EQ(Progress(), "Updating...");
    EXPECT_TRUE(fDelegate->UpdateButton->isHidden());
    EXPECT_FALSE(fDelegate->Progress->isHidden());
    fDelegate->UpdateEventWithStatus(Updater::kEventProgress, "Half");
    EXPECT_EQ(Progress(), "Half");
    fDelegate->UpdateEventWithStatus(Updater::kEventEnd, "");
    EXPECT_EQ(Progress(), "Success!");
    EXPECT_FALSE(fDelegate->OKButton->isHidden());
    EXPECT_TRUE(fDelegate->Progress->isHidden());

    fDelegate->DeviceConnectedWithVersion("Another", "3:4");
    EXPECT_EQ(DeviceText(), "Device Connected: Wrenlet (X)");
    const auto printed = Printed();
    EXPECT_NE(std::find(printed.begin(), printed.end(), "DeviceConnected called more than once"),
              printed.end());

    for (bool button : {true, false}) {
        fDelegate->DeviceDisconnectedWithButton("Gone", button);
        EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), button ? "Unknown" : "No Device Connected");
        EXPECT_EQ(fDelegate->CheckDeviceButton->isHidden(), !button);
        EXPECT_TRUE(fDelegate->OKButton->isHidden());
        EXPECT_FALSE(fDelegate->IsConnected());
    }
}

TEST_F(UpdaterScenario, UpdateBeforeTheDeviceHasSettledDoesNothing)
{
    fUnit->powerOn();
    Launch();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetConnection() == Updater::kRunModeDevice; }, 5s));
    TheUpdater().Update();
    EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle);
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    fDelegate->UpdateButton->performClick();
    EXPECT_EQ(TheUpdater().GetState(), Updater::kRebootingToBootLoader);
    ASSERT_TRUE(RunToEnd());
}

TEST_F(UpdaterScenario, EmptyImageFromTheBootLoaderSetsNoBootFlag)
{
    fContainer = MakeContainer({}, "7.5");
    fUnit->setBootFlag(false);
    Connect();
    fDelegate->CheckDeviceButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    const size_t before = BootLoaderCommands().size();
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Verify Failed");
    Step(1s);
    EXPECT_EQ(BootLoaderCommands().size(), before);
    EXPECT_FALSE(fUnit->chip().bootFromFlash());
}
