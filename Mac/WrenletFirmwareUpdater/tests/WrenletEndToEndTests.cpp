// The whole update with the real FPGA stage: the Jam STAPL player programming the simulated unit's
// FPGA through the run-mode face, on the manual clock.
#include "FpgaRunHarness.h"

#include "DownloadFirmwareFile.h"
#include "FirmwareSite.h"

#include <AppKitTesting/Panels.h>
#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>

#include <algorithm>
#include <optional>

using namespace UpdaterTests;

namespace {

struct OutcomeRow
{
    const char* name;
    // The unit's variant, and the change to the programs of the container.
    char unit;
    std::function<void(char, FpgaProgramSpec&)> change;
    const char* progress;
    // What the FPGA holds afterwards: the old version, the new one, or nothing (erased).
    const char* fpgaVersion;
    bool touchesJtag;
    // The run's exit code; -1 when it ends without one.
    int exitCode;
};

TEST_F(WrenletFpgaRun, EveryOutcomeOfTheProgrammingRun)
{
    const auto all = [](auto change) { return [change](char, FpgaProgramSpec& spec) { change(spec); }; };
    const OutcomeRow rows[] = {
        {"EXIT 0", 'A', {}, "Success!", kFPGAVersion, true, 0},
        {"EXIT 10", 'A', all([](FpgaProgramSpec& spec) { spec.corruptBitstream = true; }),
         "FPGA Write Failed", "", true, 10},
        {"EXIT 11", 'A', all([](FpgaProgramSpec& spec) { spec.exitCode = 11; }), "FPGA Write Failed",
         kFPGAVersion, true, 11},
        {"a stack overflow after JTAG began", 'A',
         all([](FpgaProgramSpec& spec) { spec.overflowStackAfterEnable = true; }), "FPGA Write Failed", "7.4",
         true, -1},
        {"a file that fails before JTAG", 'A', all([](FpgaProgramSpec& spec) { spec.action = "ERASE_ONLY"; }),
         "FPGA Write Failed", "7.4", false, -1},
        {"a serial with no variant", 'D', {}, "FPGA Write Failed", "7.4", false, -1},
        {"the variant-A program on a variant-B unit", 'B',
         [](char variant, FpgaProgramSpec& spec) { spec.variant = variant == 'B' ? 'A' : variant; },
         "FPGA Write Failed", "7.4", true, 6},
        {"the last clocks left to the flush", 'A',
         all([](FpgaProgramSpec& spec) { spec.endWithIdleClocks = true; }), "Success!", kFPGAVersion, true,
         0},
    };
    for (const OutcomeRow& row : rows) {
        fContainer = FirmwareContainer::FromParts("2.2", kFPGAVersion, Programs(row.change));
        // A 'D' unit is a variant-A one whose firmware reports a serial with 'D' for its variant.
        fUnit->setSignature(Wrenlet::makeSignature(row.unit == 'D' ? 'A' : row.unit, 0, {0x0A, 0x1B, 0x2C}));
        Wrenlet::WrenletHardware::RunModeOptions runMode;
        if (row.unit == 'D') {
            runMode.serial = "WRND0A1B2C";
        }
        fUnit->setRunModeOptions(runMode);
        fUnit->setFpgaVersion("7.4");
        const size_t enablesBefore = ProgramEnables().size();
        const size_t requestsBefore = JtagRequests().size();
        const size_t printedBefore = Printed().size();
        Connect();
        fDelegate->UpdateButton->performClick();
        ASSERT_TRUE(RunToEnd()) << row.name;
        EXPECT_EQ(Progress(), row.progress) << row.name;
        EXPECT_EQ(fUnit->fpgaVersion(), row.fpgaVersion) << row.name;
        const auto printed = Printed();
        const auto exitLine =
            std::find_if(printed.begin() + long(printedBefore), printed.end(),
                         [](const std::string& line) { return line.starts_with("Exit code = "); });
        if (row.exitCode < 0) {
            EXPECT_EQ(exitLine, printed.end()) << row.name;
        } else {
            ASSERT_NE(exitLine, printed.end()) << row.name;
            EXPECT_TRUE(exitLine->starts_with("Exit code = " + std::to_string(row.exitCode) + "... "))
                << row.name;
        }
        const std::vector<bool> expected =
            row.touchesJtag ? std::vector<bool>{true, false} : std::vector<bool>{};
        const std::vector<bool> enables = ProgramEnables();
        EXPECT_EQ(std::vector<bool>(enables.begin() + long(enablesBefore), enables.end()), expected)
            << row.name;
        if (row.unit == 'D') {
            EXPECT_EQ(JtagRequests().size(), requestsBefore) << row.name;
        }
        if (std::string(row.progress) != "Success!") {
            // A failed stage asks for no reboot: the run-mode face that served it is still there.
            ASSERT_NE(fUnit->runModeDevice(), nullptr) << row.name;
            const auto log = fUnit->runModeDevice()->controlLog();
            EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                    [](const auto& record) {
                                        return record.setup.bmRequestType == 0x40 &&
                                               record.setup.bRequest == 4;
                                    }),
                      0)
                << row.name;
        }
        Quit();
        fUnit->powerOff();
    }
}

// The harness's container as a signed file, one byte flipped when asked, chosen with Choose File.
class WrenletChosenFile : public WrenletFpgaRun
{
protected:
    void SetUp() override
    {
        WrenletFpgaRun::SetUp();
        AppKitTesting::resetPanels();
    }

    void TearDown() override
    {
        WrenletFpgaRun::TearDown();
        FoundationTesting::resetURLLoading();
    }

    // Writes the file; the launch hands the updater the harness's container when asked.
    void Prepare(std::optional<size_t> flipped = std::nullopt, bool withContainer = false)
    {
        const ContainerSpec spec = ContainerFileSpec();
        Bytes container = signedContainer(spec);
        if (flipped) {
            container[*flipped] ^= 0x01;
        }
        fFolder.write("wrenlet.image", xzCompress(container));
        fContainer = FirmwareContainer::FromParts("2.2", kFPGAVersion, spec.sections);
        Connect(withContainer);
    }

    void Choose(std::optional<size_t> flipped = std::nullopt)
    {
        Prepare(flipped);
        AppKitTesting::answerOK(fFolder.path("wrenlet.image"));
        fDelegate->ChooseFileButton->performClick();
    }

    struct Window
    {
        std::string file, fileVersion;
        bool update, clearFile, localFile;
        bool operator==(const Window&) const = default;
    };
    Window Shown()
    {
        return {Text(fDelegate->FileLabel), Text(fDelegate->FileVersionLabel),
                fDelegate->UpdateButton->isEnabled(), fDelegate->ClearFileButton->isEnabled(),
                fDelegate->IsLocalFile()};
    }

    // The unit's control requests from `first` on hold, of the updater's vendor requests, only the
    // version reads.
    void ExpectOnlyVersionReadsFrom(size_t first, size_t row = 0)
    {
        ASSERT_NE(fUnit->runModeDevice(), nullptr);
        const auto log = fUnit->runModeDevice()->controlLog();
        for (size_t i = first; i < log.size(); ++i) {
            const auto& setup = log[i].setup;
            if (setup.type() == 2 && setup.wIndex == 7) {
                EXPECT_EQ(setup.bmRequestType, 0xC0) << row;
                EXPECT_TRUE(setup.bRequest == 5 || setup.bRequest == 6) << row << ": " << int(setup.bRequest);
            }
        }
    }

    ScratchFolder fFolder;
};

TEST_F(WrenletChosenFile, ChooseFileAsksWithASheetForImagesAndLoadsTheAnswer)
{
    Prepare(std::nullopt, true);
    ASSERT_TRUE(fDelegate->UpdateButton->isEnabled());
    AppKitTesting::answerOK(fFolder.path("wrenlet.image"));
    fDelegate->ChooseFileButton->performClick();
    // A sheet: the answer comes on a later turn of the main loop, and the file loads 1 ms after it.
    EXPECT_EQ(Text(fDelegate->FileLabel), "wrenlet.image");
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(Text(fDelegate->FileLabel), "Loading...");
    EXPECT_TRUE(fDelegate->IsLocalFile());
    EXPECT_FALSE(fDelegate->UpdateButton->isEnabled());
    EXPECT_TRUE(fDelegate->ClearFileButton->isEnabled());
    const auto panels = AppKitTesting::panelsRun();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].fKind, "NSOpenPanel");
    EXPECT_EQ(panels[0].fAllowedFileTypes, std::vector<std::string>{"image"});
    ASSERT_TRUE(RunUntil([&] { return Text(fDelegate->FileLabel) == "wrenlet.image"; }, 5s));
    EXPECT_TRUE(fDelegate->UpdateButton->isEnabled());
}

TEST_F(WrenletChosenFile, ChooseFileCancelledChangesNothing)
{
    Prepare(std::nullopt, true);
    const Window before = Shown();
    AppKitTesting::answerCancel();
    fDelegate->ChooseFileButton->performClick();
    Step(10ms);
    EXPECT_EQ(AppKitTesting::panelsRun().size(), 1u);
    EXPECT_EQ(Shown(), before);
    EXPECT_EQ(Text(fDelegate->FileLabel), "wrenlet.image");
}

TEST_F(WrenletChosenFile, ClearFileGoesBackToTheServersFirmware)
{
    SimNetwork::FirmwareServer server;
    server.setRoute("/api/device/wrenlet-k/firmware", {{.status = 404}});
    FoundationTesting::mapHost(DownloadFirmwareFile::kServerHost, 80, server.port());
    Choose();
    ASSERT_TRUE(RunUntil([&] { return Text(fDelegate->FileLabel) == "wrenlet.image"; }, 5s));
    ASSERT_TRUE(server.waitForRequests(1, 20000));
    EXPECT_TRUE(fDelegate->UpdateButton->isEnabled());
    EXPECT_TRUE(fDelegate->ClearFileButton->isEnabled());
    EXPECT_TRUE(fDelegate->IsLocalFile());
    fDelegate->ClearFileButton->performClick();
    EXPECT_FALSE(fDelegate->IsLocalFile());
    EXPECT_EQ(Text(fDelegate->FileLabel), DownloadFirmwareFile::kServerHost);
    EXPECT_FALSE(fDelegate->UpdateButton->isEnabled());
    EXPECT_FALSE(fDelegate->ClearFileButton->isEnabled());
    ASSERT_TRUE(server.waitForRequests(2, 20000));
    const auto log = server.log();
    EXPECT_EQ(log.back().path, "/api/device/wrenlet-k/firmware");
    EXPECT_EQ(log.back().host, DownloadFirmwareFile::kServerHost);
}

// Where the update's container comes from.
enum class Source
{
    HandedOver,
    Download,
    ChosenFile,
};

class WrenletUpdate : public WrenletChosenFile, public testing::WithParamInterface<std::tuple<char, Source>>
{};

TEST_P(WrenletUpdate, UpdatesFlashAndFPGA)
{
    const auto [variant, source] = GetParam();
    fUnit->setSignature(Wrenlet::makeSignature(variant, 0, {0x0A, 0x1B, 0x2C}));
    std::unique_ptr<FirmwareSite> site;
    switch (source) {
    case Source::HandedOver:
        Connect();
        break;
    case Source::Download:
        site = std::make_unique<FirmwareSite>(xzCompress(signedContainer(ContainerFileSpec())));
        Connect(false);
        ASSERT_TRUE(
            RunUntilStageEnds([&] { return Text(fDelegate->FileLabel) == FirmwareSite::kImageName; }));
        break;
    case Source::ChosenFile:
        Choose();
        ASSERT_TRUE(RunUntil([&] { return Text(fDelegate->FileLabel) == "wrenlet.image"; }, 5s));
        break;
    }
    const std::string deviceLabel = std::string("Device Connected: Wrenlet (WRN") + variant + "0A1B2C)";
    EXPECT_EQ(DeviceText(), deviceLabel);
    if (source != Source::HandedOver) {
        EXPECT_EQ(Text(fDelegate->FileVersionLabel), "2.2:7.5");
    }
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    const auto printed = Printed();
    const auto writing = std::find(printed.begin(), printed.end(), "Writing FPGA...");
    ASSERT_NE(writing, printed.end());
    EXPECT_NE(std::find(writing, printed.end(), "Rebooting..."), printed.end());
    EXPECT_NE(std::find(printed.begin(), printed.end(), "Exit code = 0... Success\r"), printed.end());
    ExpectUnitUpdated();
    EXPECT_EQ(DeviceText(), deviceLabel);
    EXPECT_EQ(Text(fDelegate->DeviceVersionLabel), "2.2:7.5");
    EXPECT_EQ(ProgramEnables(), (std::vector<bool>{true, false}));
    const auto requests = JtagRequests();
    for (const JtagTarget::Request& request : requests) {
        EXPECT_FALSE(request.stalled);
        if (request.requestType == 0x40) {
            EXPECT_LE(request.value, 128);
        }
    }
    // Reads only for the captured scans: the IDCODE and the status, 32 bits each.
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const JtagTarget::Request& request) {
                                return request.requestType == 0xC0 &&
                                       request.request == JtagTarget::kRequestClocks;
                            }),
              64);
}

INSTANTIATE_TEST_SUITE_P(VariantsAndSources, WrenletUpdate,
                         testing::Combine(testing::Values('A', 'B', 'C'),
                                          testing::Values(Source::HandedOver, Source::Download,
                                                          Source::ChosenFile)));

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

TEST_F(WrenletChosenFile, ATamperedDownloadNeverReachesTheUnit)
{
    Bytes container = signedContainer(ContainerFileSpec());
    container[300] ^= 0x5A;
    const FirmwareSite site(xzCompress(container));

    Connect(false);
    ASSERT_TRUE(RunUntilStageEnds(
        [&] { return Text(fDelegate->FileLabel) == "File Signature Verification Failed"; }));
    EXPECT_FALSE(fDelegate->UpdateButton->isEnabled());
    fDelegate->UpdateButton->performClick();
    TheUpdater().Update();
    Step(2s);
    EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle);
    EXPECT_TRUE(BootLoaderCommands().empty());
    EXPECT_TRUE(JtagRequests().empty());
    ExpectOnlyVersionReadsFrom(0);
}

// Every byte of the header and 64 of the body, each flipped in its own file: each is refused, Update
// clicked or called starts nothing, and the unit sees nothing but version reads.
TEST_F(WrenletChosenFile, EveryTamperedByteIsRefusedAndNeverReachesTheUnit)
{
    Choose();
    ASSERT_TRUE(RunUntil([&] { return Text(fDelegate->FileLabel) == "wrenlet.image"; }, 5s));
    ASSERT_TRUE(fDelegate->UpdateButton->isEnabled());
    const ContainerSpec spec = ContainerFileSpec();
    const Bytes good = signedContainer(spec);
    const auto refused = [&] {
        const std::string label = Text(fDelegate->FileLabel);
        return label == "File Signature Verification Failed" || label == "Invalid File";
    };
    for (const size_t position : tamperPositions(spec.sections)) {
        Bytes tampered = good;
        tampered[position] ^= 0x01;
        fFolder.write("tampered.image", xzCompress(tampered));
        ASSERT_NE(fUnit->runModeDevice(), nullptr);
        const size_t requestsBefore = fUnit->runModeDevice()->controlLog().size();
        AppKitTesting::answerOK(fFolder.path("tampered.image"));
        fDelegate->ChooseFileButton->performClick();
        CoreFoundationTesting::runUntilIdle();
        ASSERT_EQ(Text(fDelegate->FileLabel), "Loading...") << position;
        ASSERT_TRUE(RunUntil(refused, 5s)) << position << ": " << Text(fDelegate->FileLabel);
        EXPECT_FALSE(fDelegate->UpdateButton->isEnabled()) << position;
        fDelegate->UpdateButton->performClick();
        TheUpdater().Update();
        Step(1s);
        EXPECT_EQ(TheUpdater().GetState(), Updater::kIdle) << position;
        EXPECT_EQ(Progress(), "") << position;
        ExpectOnlyVersionReadsFrom(requestsBefore, position);
    }
    EXPECT_TRUE(BootLoaderCommands().empty());
    EXPECT_TRUE(JtagRequests().empty());
}

} // namespace
