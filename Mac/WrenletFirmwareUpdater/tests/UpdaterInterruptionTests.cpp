// An update interrupted at every point, by a power loss or by the updater quitting, never leaves a
// unit that does not boot, and a second try made as a user makes it ends with "Success!".

#include "UpdaterHarness.h"

#include <Wrenlet/FlashController.h>

using namespace UpdaterTests;
using Wrenlet::FlashController;
using Face = Wrenlet::WrenletHardware::Face;

namespace {

constexpr const char* kNoDevice = "No Wrenlet detected. Please check cables.";

struct Where
{
    const char* name;
    // The point, as the updater's state and what the test sees.
    std::function<bool(UpdaterHarness&, Updater&, Wrenlet::WrenletHardware&)> reached;
    // A power-loss trigger on the unit for that point, when the test cannot hit it from outside.
    std::function<void(Wrenlet::WrenletHardware&)> trigger;
};

enum class How
{
    PowerOff,
    Quit,
};

auto InState(Updater::State state)
{
    return [state](UpdaterHarness&, Updater& updater, Wrenlet::WrenletHardware&) {
        return updater.GetState() == state;
    };
}

auto OnCommand(uint8_t command, bool afterEffect, unsigned occurrence = 1)
{
    return [=](Wrenlet::WrenletHardware& unit) { unit.powerOffAtCommand(command, afterEffect, occurrence); };
}

const Where kPoints[] = {
    {"State1", InState(Updater::kRebootingToBootLoader), [](auto& unit) { unit.powerOffOnRequest(3); }},
    {"State3AfterSTUS", InState(Updater::kCheckingUID), OnCommand(FlashController::STUS, true)},
    {"State4", InState(Updater::kComparing), nullptr},
    {"State5BeforeCGPB", InState(Updater::kClearingBootFlag), OnCommand(FlashController::CGPB, false)},
    {"State5AfterCGPB", InState(Updater::kClearingBootFlag), OnCommand(FlashController::CGPB, true)},
    {"State6EraseBusy", InState(Updater::kErasing), OnCommand(FlashController::EA, false)},
    {"State7FirstPage", InState(Updater::kWriting), [](auto& unit) { unit.powerOffAfterPages(1); }},
    {"State7Midway",
     [](UpdaterHarness&, Updater& updater, Wrenlet::WrenletHardware&) {
         return updater.GetState() == Updater::kWriting && updater.ProgressValue() >= 50;
     },
     nullptr},
    {"State7LastPage", InState(Updater::kWriting), OnCommand(FlashController::WP, false, 3)},
    {"State8", InState(Updater::kVerifying), nullptr},
    {"State9BeforeSGPB", InState(Updater::kSettingBootFlag), OnCommand(FlashController::SGPB, false)},
    {"State9AfterSGPB", InState(Updater::kSettingBootFlag), OnCommand(FlashController::SGPB, true)},
    {"State10BeforeReEnumeration", InState(Updater::kResetting), nullptr},
    {"State10AfterReEnumeration",
     [](UpdaterHarness&, Updater& updater, Wrenlet::WrenletHardware& unit) {
         return updater.GetState() == Updater::kResetting && unit.face() == Face::RunMode;
     },
     nullptr},
    {"State11", InState(Updater::kWritingFPGA), nullptr},
    {"State12", InState(Updater::kRebootingAfterFPGA), nullptr},
};

class UpdaterInterruption : public UpdaterHarness, public testing::WithParamInterface<std::tuple<Where, How>>
{
protected:
    bool WaitConnected()
    {
        return RunUntil([&] { return fDelegate->IsConnected() || !fDelegate->CheckDeviceButton->isHidden(); },
                        5s);
    }

    // What a user does after the interruption: start the updater again and update.
    void TryAgain()
    {
        Quit();
        OpenGate();
        {
            std::lock_guard lock(fLock);
            fScript = FPGAScript();
        }
        Step(1s);
        Launch();
        ASSERT_TRUE(WaitConnected());
        if (!fDelegate->IsConnected()) {
            fDelegate->CheckDeviceButton->performClick();
            ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s)) << DeviceText();
        }
        fDelegate->UpdateButton->performClick();
        ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kIdle && Finished(); }, 60s));
        EXPECT_EQ(Progress(), "Success!");
        ExpectUnitUpdated();
    }
};

} // namespace

TEST_P(UpdaterInterruption, UnitStaysBootableAndASecondTrySucceeds)
{
    const auto& [where, how] = GetParam();
    fUnit->powerOn();
    Launch();
    ASSERT_TRUE(WaitConnected());
    const bool triggered = how == How::PowerOff && where.trigger;
    if (triggered) {
        where.trigger(*fUnit);
    }
    if (where.name == std::string("State11")) {
        // The FPGA stage waits, so that its state can be seen, and this run programs nothing.
        {
            std::lock_guard lock(fLock);
            fScript.newVersion.clear();
        }
        CloseGate();
    }
    fDelegate->UpdateButton->performClick();
    if (triggered) {
        ASSERT_TRUE(RunUntil([&] { return fUnit->face() == Face::Off; }, 60s));
    } else {
        // In microframes: some points last only a few.
        ASSERT_TRUE(RunUntil([&] { return where.reached(*this, TheUpdater(), *fUnit); }, 60s, 125us));
        if (how == How::PowerOff) {
            fUnit->powerOff();
        }
    }
    OpenGate();
    if (how == How::PowerOff) {
        ASSERT_TRUE(RunUntil(
            [&] {
                return TheUpdater().GetState() == Updater::kIdle && (Finished() || DeviceText() == kNoDevice);
            },
            40s))
            << "state " << TheUpdater().GetState();
        EXPECT_TRUE(Progress() != "Success!" || DeviceText() == kNoDevice) << Progress();
        fUnit->powerOn();
    }
    Step(1s);
    EXPECT_FALSE(fUnit->isBricked());
    TryAgain();
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterInterruption,
                         testing::Combine(testing::ValuesIn(kPoints),
                                          testing::Values(How::PowerOff, How::Quit)),
                         [](const testing::TestParamInfo<std::tuple<Where, How>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == How::PowerOff ? "PowerOff" : "Quit");
                         });
