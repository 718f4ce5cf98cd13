#include "Updater.h"

#include "RunFlashCommand.h"
#include "SAMBACheckModel.h"
#include "UserSignature.h"
#include "VerifyFlash.h"
#include "WriteFlash.h"
#include "WriteWord.h"

#include <cstdio>

namespace {

constexpr const char* kNoDevice = "No Wrenlet detected. Please check cables.";
constexpr const char* kUpdateModeDevice = "Device Connected: Update Mode Device";
constexpr const char* kCannotUpdate = "Device Connected: Update Mode Device - Cannot Update";
constexpr const char* kUnknownVersion = "Unknown";

std::string DeviceLabel(const std::string& serial)
{
    return "Device Connected: Wrenlet (" + serial + ")";
}

void Print(const std::string& text)
{
    printf("%s\n", text.c_str());
}

} // namespace

Updater::Updater(UIBridge& bridge, USB_FPGA::Player player) : fBridge(bridge), fPlayer(std::move(player)) {}

Updater::~Updater()
{
    fDiscovery.reset();
    fConnectDelay.Cancel();
    fRebootLimit.Cancel();
    fFPGAInterval.Stop();
    DropCommand();
    // The run stops: every request it makes from now on fails, and it ends at its next instruction or
    // wait.
    if (fDevice) {
        fDevice->Detach();
    }
    fFPGAThread.request_stop();
    JoinFPGA();
}

void Updater::Init()
{
    fDiscovery = std::make_unique<WrenDiscovery>(*this);
    fDiscovery->Start();
}

void Updater::FirmwareVerified(std::shared_ptr<const FirmwareContainer> container,
                               const std::string& fileName)
{
    fContainer = std::move(container);
    fBridge.SetFileVersion(fContainer->FirmwareVersion() + ":" + fContainer->FPGAVersion());
    fBridge.SetFirmwareFileWithStatus(fileName, true);
}

void Updater::FirmwareDropped()
{
    fContainer.reset();
}

double Updater::ProgressValue() const
{
    if (fState == kRebootingAfterFPGA) {
        return 100;
    }
    if (fState == kWritingFPGA) {
        return fFPGATicks;
    }
    return fCommand ? fCommand->GetProgress() : 0;
}

void Updater::Event(EventType type, const std::string& text)
{
    if (!text.empty()) {
        Print(text);
    }
    fBridge.UpdateEventWithStatus(type, text);
}

void Updater::Fail(const std::string& text)
{
    DropCommand();
    fRebootLimit.Cancel();
    fState = kIdle;
    Event(kEventEnd, text);
}

void Updater::ShowNoDevice()
{
    Print(kNoDevice);
    fBridge.DeviceDisconnectedWithButton(kNoDevice, false);
}

bool Updater::SerialMatches(const std::string& serial) const
{
    using UserSignature::kSerialTail;
    return fSerial.size() >= kSerialTail &&
           UserSignature::SerialEndsWith(serial, fSerial.substr(fSerial.size() - kSerialTail));
}

void Updater::Update()
{
    // Nothing connected yet, or not for the half second that lets a device settle.
    if ((fConnection == kRunModeDevice && !fDevice) || (fConnection == kBootLoader && !fEngine) ||
        fConnection == kNotConnected) {
        return;
    }
    if (!fContainer || fState != kIdle) {
        Print("Firmware Update In Progress");
        return;
    }
    fUpdating = fContainer;
    if (fConnection == kRunModeDevice) {
        fFromRunMode = true;
        fState = kRebootingToBootLoader;
        Event(kEventStart, "Rebooting...");
        fRebootLimit.Start(kRebootLimitSeconds, this, &Updater::RebootTimedOut);
        fDevice->RebootToBootLoader();
        return;
    }
    fFromRunMode = false;
    Event(kEventStart, "Comparing...");
    Verify(kComparing);
}

void Updater::CheckDevice()
{
    if (fConnection != kBootLoader || fState != kIdle || !fEngine) {
        return;
    }
    Run(kCheckingModel, std::make_unique<SAMBACheckModel>(*fEngine));
}

void Updater::Run(State state, std::unique_ptr<StateMachine> command)
{
    fState = state;
    fCommand = std::move(command);
    fCommand->Start();
}

void Updater::Verify(State state)
{
    // An empty image proves nothing about the flash: only a unit that was running may keep it.
    if (fUpdating->Section(1).empty() && !fFromRunMode) {
        fState = state;
        Fail("Verify Failed");
        return;
    }
    Run(state, std::make_unique<VerifyFlash>(*fEngine, fUpdating->Section(1)));
}

void Updater::SetBootFlag()
{
    Event(kEventProgress, "Run Mode...");
    Run(kSettingBootFlag, std::make_unique<RunFlashCommand>(*fEngine, SAMBA::kSetGPNVM, 1, 1));
}

void Updater::DropCommand()
{
    fCommand.reset();
}

void Updater::DeviceConnected(WrenDiscovery::Device device, const std::string& serial)
{
    const bool accepted =
        fConnection == kNotConnected ||
        (fConnection == kBootLoader && fState == kResetting && SerialMatches(serial)) ||
        (fConnection == kRunModeDevice && fState == kRebootingAfterFPGA && SerialMatches(serial));
    if (!accepted) {
        return;
    }
    fConnection = kRunModeDevice;
    fPendingDevice = device;
    fConnectDelay.Start(kConnectDelaySeconds, this, &Updater::DeviceConnectedDelayed, std::move(device),
                        serial);
}

void Updater::DeviceConnectedDelayed(WrenDiscovery::Device device, std::string serial)
{
    if (fConnection != kRunModeDevice || device != fPendingDevice) {
        return;
    }
    fPendingDevice.reset();
    fSerial = serial;
    fDevice = std::make_shared<WRNA>(std::move(device));
    const std::string firmware = fDevice->FirmwareVersion();
    const std::string fpga = fDevice->FPGAVersion();
    const std::string label = DeviceLabel(serial);
    const std::string version = firmware.empty() ? kUnknownVersion : firmware + ":" + fpga;
    if (fState == kResetting || fState == kRebootingAfterFPGA) {
        RunModeBack(label, version, fpga);
        return;
    }
    Print(label);
    fBridge.DeviceConnectedWithVersion(label, version);
}

void Updater::RunModeBack(const std::string& label, const std::string& version,
                          const std::string& fpgaVersion)
{
    fRebootLimit.Cancel();
    const bool fpgaCurrent = fpgaVersion == fUpdating->FPGAVersion();
    if (fState == kResetting && !fpgaCurrent) {
        StartFPGA();
        return;
    }
    fState = kIdle;
    Print(label);
    fBridge.SetDeviceLabelWithVersion(label, version);
    Event(kEventEnd, fpgaCurrent ? "Success!" : "FPGA Write Failed");
}

void Updater::DeviceRemoved()
{
    // Nothing more reaches the gone device, a run in progress included.
    if (fDevice) {
        fDevice->Detach();
        fDevice.reset();
    }
    if (fState == kRebootingToBootLoader || fState == kRebootingAfterFPGA) {
        return;
    }
    fConnectDelay.Cancel();
    fPendingDevice.reset();
    fConnection = kNotConnected;
    ShowNoDevice();
}

void Updater::SAMBAConnected(SAMBA::Interface interface)
{
    if (fConnection != kNotConnected &&
        !(fState == kRebootingToBootLoader && fConnection == kRunModeDevice)) {
        return;
    }
    fConnection = kBootLoader;
    fPendingInterface = interface;
    fConnectDelay.Start(kConnectDelaySeconds, this, &Updater::SAMBAConnectedDelayed, std::move(interface));
}

void Updater::SAMBAConnectedDelayed(SAMBA::Interface interface)
{
    if (fConnection != kBootLoader || interface != fPendingInterface) {
        return;
    }
    fPendingInterface.reset();
    fEngine = std::make_unique<SAMBA>(*this, std::move(interface));
    if (fState == kRebootingToBootLoader) {
        fRebootLimit.Cancel();
        Event(kEventProgress, "UID...");
        Run(kCheckingUID, std::make_unique<SAMBACheckModel>(*fEngine));
        return;
    }
    Print(kUpdateModeDevice);
    fBridge.DeviceDisconnectedWithButton(kUpdateModeDevice, true);
}

void Updater::SAMBARemoved()
{
    fConnectDelay.Cancel();
    fPendingInterface.reset();
    // The interface is closed already, so no completion can reach the engine any more.
    DropCommand();
    fEngine.reset();
    // The unit's own boot loader goes as the unit resets; while the unit reboots after its FPGA
    // stage, a boot loader (another unit's) was never taken.
    if (fState == kResetting || fState == kRebootingAfterFPGA) {
        return;
    }
    // The FPGA stage ends with its run's FinishedFPGA only, whatever comes and goes meanwhile.
    if (fState != kWritingFPGA) {
        fState = kIdle;
    }
    fConnection = kNotConnected;
    ShowNoDevice();
}

void Updater::SAMBACallback(uint32_t count, bool error)
{
    if (!fCommand) {
        return;
    }
    if (error) {
        Fail("COM Error");
        return;
    }
    if (!fCommand->Callback(count)) {
        if (fState == kComparing || fState == kWriting || fState == kVerifying) {
            Event(kEventProgress);
        }
        return;
    }
    const std::unique_ptr<StateMachine> finished = std::move(fCommand);
    CommandFinished(finished->GetResultStatus(), finished->GetResult());
}

void Updater::CommandFinished(bool status, const std::vector<uint8_t>& result)
{
    switch (fState) {
    case kCheckingModel:
        FinishModelCheck(status, result);
        return;
    case kCheckingUID:
        FinishUIDCheck(status, result);
        return;
    case kComparing:
        FinishCompare(status);
        return;
    case kClearingBootFlag:
        if (!status) {
            Fail("Latch SAMBA Error");
            return;
        }
        Event(kEventProgress, "Erasing...");
        Run(kErasing, std::make_unique<RunFlashCommand>(*fEngine, SAMBA::kEraseAll, 0, 1));
        return;
    case kErasing:
        if (!status) {
            Fail("Erase Failed");
            return;
        }
        Event(kEventProgress, "Writing...");
        Run(kWriting, std::make_unique<WriteFlash>(*fEngine, fUpdating->Section(1)));
        return;
    case kWriting:
        if (!status) {
            Fail("Write Failed");
            return;
        }
        Event(kEventProgress, "Verifying...");
        Verify(kVerifying);
        return;
    case kVerifying:
        if (!status) {
            Fail("Verify Failed");
            return;
        }
        SetBootFlag();
        return;
    case kSettingBootFlag:
        if (!status) {
            Fail("Latch Run Error");
            return;
        }
        Event(kEventProgress, "Rebooting...");
        fRebootLimit.Start(kRebootLimitSeconds, this, &Updater::RebootTimedOut);
        Run(kResetting, std::make_unique<WriteWord>(*fEngine, SAMBA::kResetRegister, SAMBA::kResetValue));
        return;
    case kResetting:
        if (!status) {
            Fail("Reboot Fail");
        }
        return;
    default:
        return;
    }
}

void Updater::FinishModelCheck(bool status, const std::vector<uint8_t>& result)
{
    fState = kIdle;
    const std::optional<UserSignature::Tag> tag = status ? UserSignature::Find(result) : std::nullopt;
    if (!tag) {
        Print(kCannotUpdate);
        fBridge.SetDeviceLabelWithVersion(kCannotUpdate, kUnknownVersion);
        return;
    }
    // The unit comes back in run mode under this serial.
    fSerial = tag->serial;
    Print(DeviceLabel(fSerial));
    fBridge.DeviceConnectedWithVersion(DeviceLabel(fSerial), kUnknownVersion);
}

void Updater::FinishUIDCheck(bool status, const std::vector<uint8_t>& result)
{
    const std::optional<UserSignature::Tag> tag = status ? UserSignature::Find(result) : std::nullopt;
    if (!tag || !UserSignature::SerialEndsWith(fSerial, tag->uid)) {
        Fail("UID Error");
        return;
    }
    Event(kEventStart, "Comparing...");
    Verify(kComparing);
}

void Updater::FinishCompare(bool equal)
{
    if (equal) {
        SetBootFlag();
        return;
    }
    Event(kEventProgress, "SAMBA...");
    Run(kClearingBootFlag, std::make_unique<RunFlashCommand>(*fEngine, SAMBA::kClearGPNVM, 1, 1));
}

void Updater::StartFPGA()
{
    struct Stage
    {
        int section;
        const char* action;
    };
    std::optional<Stage> stage;
    switch (fSerial.size() >= 4 ? fSerial[3] : 0) {
    case 'A':
        stage = Stage{2, "program"};
        break;
    case 'B':
        stage = Stage{3, "run_file"};
        break;
    case 'C':
        stage = Stage{4, "run_file"};
        break;
    default:
        break;
    }
    if (!stage || fUpdating->Section(stage->section).empty()) {
        Fail("FPGA Write Failed");
        return;
    }
    fState = kWritingFPGA;
    fFPGATicks = 0;
    Event(kEventProgress, "Writing FPGA...");
    fFPGAInterval.Start(kFPGATickSeconds, this, &Updater::FPGATick);
    // The run holds the container it plays, whatever file or update comes meanwhile.
    fFPGAThread = std::jthread([player = fPlayer, client = std::weak_ptr<USB_FPGA::Client>(fFPGAClient),
                                device = fDevice, container = fUpdating, section = stage->section,
                                action = std::string(stage->action)](std::stop_token stop) {
        const std::span<const uint8_t> data = container->Section(section);
        player(std::move(stop), client, device, action, data.data(), data.size());
    });
}

void Updater::FPGATick()
{
    if (fState != kWritingFPGA || fFPGATicks >= kFPGATickLimit) {
        fFPGAInterval.Stop();
        return;
    }
    ++fFPGATicks;
    Event(kEventProgress);
    if (fFPGATicks == kFPGATickLimit) {
        fFPGAInterval.Stop();
    }
}

void Updater::JoinFPGA()
{
    if (fFPGAThread.joinable()) {
        fFPGAThread.join();
    }
}

void Updater::FinishedFPGA(USB_FPGA::Result result)
{
    JoinFPGA();
    if (fState != kWritingFPGA) {
        return;
    }
    fFPGAInterval.Stop();
    if (!result.succeeded() || fConnection != kRunModeDevice || !fDevice) {
        Fail("FPGA Write Failed");
        return;
    }
    fState = kRebootingAfterFPGA;
    Event(kEventProgress, "Rebooting...");
    fRebootLimit.Start(kRebootLimitSeconds, this, &Updater::RebootTimedOut);
    fDevice->Reset();
}

void Updater::RebootTimedOut()
{
    if (fState == kRebootingToBootLoader || fState == kResetting || fState == kRebootingAfterFPGA) {
        Fail("Reboot Fail");
    }
}
