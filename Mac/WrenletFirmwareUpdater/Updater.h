#pragma once

// The update's owner: the connection to the one Wrenlet, the verified firmware container, and the
// sequence that takes the unit from run mode through its boot loader (compare, clear the boot
// flag, erase, write, verify, set the boot flag, reset) and through the FPGA stage back to run
// mode, with every status text shown and printed. Everything runs on the main run loop but the FPGA
// run, which has a thread of its own per run.
//
// Nothing here can leave a unit that does not boot: the boot flag is cleared before anything is
// erased and set only over a flash just verified, and every wait for the unit ends.

#include "FirmwareContainer.h"
#include "Interval.h"
#include "SAMBA.h"
#include "StateMachine.h"
#include "Timeout.h"
#include "UIBridge.h"
#include "USB_FPGA.h"
#include "WRNA.h"
#include "WrenDiscovery.h"

#include <memory>
#include <optional>
#include <string>
#include <thread>

class Updater : public WrenDiscovery::Client, public SAMBA::Client
{
public:
    enum State
    {
        kIdle = 0,
        kRebootingToBootLoader = 1,
        kCheckingModel = 2,
        kCheckingUID = 3,
        kComparing = 4,
        kClearingBootFlag = 5,
        kErasing = 6,
        kWriting = 7,
        kVerifying = 8,
        kSettingBootFlag = 9,
        kResetting = 10,
        kWritingFPGA = 11,
        kRebootingAfterFPGA = 12,
    };

    enum Connection
    {
        kNotConnected = 0,
        kRunModeDevice = 1,
        kBootLoader = 2,
    };

    enum EventType
    {
        kEventStart = 0,
        kEventEnd = 1,
        kEventProgress = 2,
    };

    static constexpr double kConnectDelaySeconds = 0.5;
    static constexpr double kFPGATickSeconds = 0.3;
    static constexpr int kFPGATickLimit = 99;
    static constexpr double kRebootLimitSeconds = 30;

    Updater(UIBridge& bridge, USB_FPGA::Player player);
    ~Updater() override;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Starts discovery.
    void Init();

    // Actions.
    void Update();
    void CheckDevice();

    // The firmware file's side: a verified container arrives, or the file is gone.
    void FirmwareVerified(std::shared_ptr<const FirmwareContainer> container, const std::string& fileName);
    void FirmwareDropped();

    State GetState() const { return fState; }
    Connection GetConnection() const { return fConnection; }
    // The progress bar's value for a progress event.
    double ProgressValue() const;

    // WrenDiscovery::Client.
    void DeviceConnected(WrenDiscovery::Device device, const std::string& serial) override;
    void DeviceRemoved() override;
    void SAMBAConnected(SAMBA::Interface interface) override;
    void SAMBARemoved() override;

    // SAMBA::Client.
    void SAMBACallback(uint32_t count, bool error) override;

    // USB_FPGA::Client, on the main queue.
    void FinishedFPGA(USB_FPGA::Result result);

private:
    // Hands FinishedFPGA to the updater while it exists; the player holds it weakly.
    class FPGAClient : public USB_FPGA::Client
    {
    public:
        explicit FPGAClient(Updater& updater) : fUpdater(updater) {}
        void FinishedFPGA(USB_FPGA::Result result) override { fUpdater.FinishedFPGA(result); }

    private:
        Updater& fUpdater;
    };

    void DeviceConnectedDelayed(WrenDiscovery::Device device, std::string serial);
    void SAMBAConnectedDelayed(SAMBA::Interface interface);

    void Event(EventType type, const std::string& text = {});
    void Fail(const std::string& text);
    void Run(State state, std::unique_ptr<StateMachine> command);
    void CommandFinished(bool status, const std::vector<uint8_t>& result);
    void FinishModelCheck(bool status, const std::vector<uint8_t>& result);
    void FinishUIDCheck(bool status, const std::vector<uint8_t>& result);
    void FinishCompare(bool status);
    void Verify(State state);
    void SetBootFlag();
    void RunModeBack(const std::string& label, const std::string& version, const std::string& fpgaVersion);
    void StartFPGA();
    void FPGATick();
    void JoinFPGA();
    void RebootTimedOut();
    void DropCommand();
    void ShowNoDevice();
    bool SerialMatches(const std::string& serial) const;

    UIBridge& fBridge;
    const USB_FPGA::Player fPlayer;

    State fState = kIdle;
    Connection fConnection = kNotConnected;

    // The file's container, and the one the update in progress started with.
    std::shared_ptr<const FirmwareContainer> fContainer;
    std::shared_ptr<const FirmwareContainer> fUpdating;
    bool fFromRunMode = false;

    std::string fSerial;
    WrenDiscovery::Device fPendingDevice;
    std::shared_ptr<WRNA> fDevice;
    SAMBA::Interface fPendingInterface;
    std::unique_ptr<SAMBA> fEngine;
    std::unique_ptr<StateMachine> fCommand;

    std::shared_ptr<FPGAClient> fFPGAClient = std::make_shared<FPGAClient>(*this);
    std::jthread fFPGAThread;
    int fFPGATicks = 0;
    Interval fFPGAInterval;

    Timeout fConnectDelay;
    Timeout fRebootLimit;
    // Last, so that it goes first: the interfaces are closed before anything they call back into.
    std::unique_ptr<WrenDiscovery> fDiscovery;
};
