// The update as a user makes it, from run mode and from the boot loader, and how it ends.

#include "UpdaterHarness.h"

#include <algorithm>

using namespace UpdaterTests;

namespace {

class UpdaterScenario : public UpdaterHarness
{
protected:
    // Powers the unit on, launches, and waits until the window shows it.
    void Connect()
    {
        fUnit->powerOn();
        Launch();
        ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected() || !fDelegate->CheckDeviceButton->isHidden(); }, 5s));
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
    ExpectInOrder(Printed(), {"Rebooting...", "UID...", "Comparing...", "SAMBA...", "Erasing...", "Writing...",
                              "Verifying...", "Run Mode...", "Rebooting...", "Writing FPGA...", "Rebooting...",
                              "Success!"});
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
    ExpectInOrder(Printed(), {"Device Connected: Update Mode Device", "Comparing...", "SAMBA...", "Run Mode...",
                              "Rebooting...", "Success!"});
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
{
};

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
        loader.flashController().forceError(Wrenlet::FlashController::ForcedError{command, Wrenlet::FlashController::FLERR});
    });
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdaterFailure,
    testing::Values(
        FailureCase{"UID", [](auto& unit) { unit.setRunModeOptions({.serial = "WRNA999999", .lowerCaseSerial = false, .rawSerialDescriptor = std::nullopt, .serialDescriptorLength = std::nullopt, .versionsWithoutNul = false}); }, "UID Error"},
        FailureCase{"LatchSAMBA", [](auto& unit) { forceError(unit, Wrenlet::FlashController::CGPB); }, "Latch SAMBA Error"},
        FailureCase{"Erase", [](auto& unit) { forceError(unit, Wrenlet::FlashController::EA); }, "Erase Failed"},
        FailureCase{"Write", [](auto& unit) { forceError(unit, Wrenlet::FlashController::WP); }, "Write Failed"},
        FailureCase{"LatchRun", [](auto& unit) { forceError(unit, Wrenlet::FlashController::SGPB); }, "Latch Run Error"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });
