// The whole update with the real FPGA stage: the Jam STAPL player programming the simulated unit's
// FPGA through the run-mode face, on the manual clock.
#include "FpgaRunHarness.h"

#include <AppKitTesting/Panels.h>

#include <algorithm>
#include <optional>

using namespace UpdaterTests;

namespace {

class WrenletEndToEndVariant : public WrenletFpgaRun, public testing::WithParamInterface<char>
{};

TEST_P(WrenletEndToEndVariant, UpdatesFlashAndFPGA)
{
    const char variant = GetParam();
    fUnit->setSignature(Wrenlet::makeSignature(variant, 0, {0x0A, 0x1B, 0x2C}));
    Connect();
    EXPECT_EQ(DeviceText(), std::string("Device Connected: Wrenlet (WRN") + variant + "0A1B2C)");
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    const auto printed = Printed();
    const auto writing = std::find(printed.begin(), printed.end(), "Writing FPGA...");
    ASSERT_NE(writing, printed.end());
    EXPECT_NE(std::find(writing, printed.end(), "Rebooting..."), printed.end());
    EXPECT_NE(std::find(printed.begin(), printed.end(), "Exit code = 0... Success\r"), printed.end());
    ExpectUnitUpdated();
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "2.2:7.5");
    EXPECT_EQ(ProgramEnables(), (std::vector<bool>{true, false}));
    for (const JtagTarget::Request& request : JtagRequests()) {
        EXPECT_FALSE(request.stalled);
        if (request.requestType == 0x40) {
            EXPECT_LE(request.value, 128);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, WrenletEndToEndVariant, testing::Values('A', 'B', 'C'));

struct OutcomeRow
{
    const char* name;
    std::function<void(char, FpgaProgramSpec&)> change;
    bool touchesJtag;
};

TEST_F(WrenletFpgaRun, FailedProgrammingRunsEndInFPGAWriteFailed)
{
    const OutcomeRow rows[] = {
        {"a program that cannot configure", [](char, FpgaProgramSpec& spec) { spec.variant = 'B'; }, true},
        {"an action the file lacks", [](char, FpgaProgramSpec& spec) { spec.action = "ERASE_ONLY"; }, false},
    };
    for (const OutcomeRow& row : rows) {
        fContainer = FirmwareContainer::FromParts("2.2", kFPGAVersion, Programs(row.change));
        fUnit->setFpgaVersion("7.4");
        const size_t enablesBefore = ProgramEnables().size();
        Connect();
        fDelegate->UpdateButton->performClick();
        ASSERT_TRUE(RunToEnd()) << row.name;
        EXPECT_EQ(Progress(), "FPGA Write Failed") << row.name;
        EXPECT_EQ(fUnit->fpgaVersion(), "7.4") << row.name;
        const std::vector<bool> expected =
            row.touchesJtag ? std::vector<bool>{true, false} : std::vector<bool>{};
        const std::vector<bool> enables = ProgramEnables();
        EXPECT_EQ(std::vector<bool>(enables.begin() + long(enablesBefore), enables.end()), expected)
            << row.name;
        Quit();
    }
}

// The harness's container as a signed file, one byte flipped when asked, chosen with Choose File.
class WrenletChosenFile : public WrenletFpgaRun
{
protected:
    void Choose(std::optional<size_t> flipped = std::nullopt)
    {
        ContainerSpec spec;
        spec.firmwareVersion = "2.2";
        spec.fpgaVersion = kFPGAVersion;
        spec.sections = Programs({});
        Bytes container = signedContainer(spec);
        if (flipped) {
            container[*flipped] ^= 0x01;
        }
        fFolder.write("wrenlet.image", xzCompress(container));
        fContainer = FirmwareContainer::FromParts("2.2", kFPGAVersion, spec.sections);
        Connect(false);
        AppKitTesting::answerOK(fFolder.path("wrenlet.image"));
        fDelegate->ChooseFileButton->performClick();
    }

    ScratchFolder fFolder;
};

TEST_F(WrenletChosenFile, UpdatesTheUnit)
{
    Choose();
    ASSERT_TRUE(RunUntil([&] { return Text(fDelegate->FileLabel) == "wrenlet.image"; }, 5s));
    EXPECT_EQ(Text(fDelegate->FileVersionLabel), "2.2:7.5");
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    ExpectUnitUpdated();
}

TEST_F(WrenletChosenFile, ATamperedOneNeverReachesTheUnit)
{
    Choose(400);
    ASSERT_TRUE(
        RunUntil([&] { return Text(fDelegate->FileLabel) == "File Signature Verification Failed"; }, 5s));
    EXPECT_FALSE(fDelegate->UpdateButton->isEnabled());
    TheUpdater().Update();
    Step(2s);
    EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle);
    EXPECT_TRUE(BootLoaderCommands().empty());
    EXPECT_TRUE(JtagRequests().empty());
}

} // namespace
