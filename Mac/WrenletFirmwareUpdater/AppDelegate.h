#pragma once

// The updater's window and its bridge methods: the device, file and progress labels, the buttons
// and the progress bar, driven by the Updater through the UIBridge.

#include "FirmwareFileLoading.h"
#include "UIBridge.h"
#include "USB_FPGA.h"
#include "Updater.h"

#include <AppKit/AppKit.h>

#include <memory>
#include <string>

class AppDelegate : public NS::Object, public NS::ApplicationDelegate, public FirmwareFileLoading::Client
{
public:
    static AppDelegate* create(USB_FPGA::Player player) { return new AppDelegate(std::move(player)); }

    // Outlets, connected by the nib; not retained.
    NS::Window* window = nullptr;
    NS::TextField* DeviceLabel = nullptr;
    NS::TextField* DeviceVersionLabel = nullptr;
    NS::TextField* FileLabel = nullptr;
    NS::TextField* FileVersionLabel = nullptr;
    NS::TextField* ProgressLabel = nullptr;
    NS::Button* ChooseFileButton = nullptr;
    NS::Button* ClearFileButton = nullptr;
    NS::Button* UpdateButton = nullptr;
    NS::Button* OKButton = nullptr;
    NS::Button* CheckDeviceButton = nullptr;
    NS::ProgressIndicator* Progress = nullptr;

    // NS::ApplicationDelegate.
    void applicationDidFinishLaunching(NS::Object* notification) override;
    bool applicationShouldTerminateAfterLastWindowClosed(NS::Application* sender) override;
    void applicationWillTerminate(NS::Object* notification) override;

    // Bridge methods.
    void UpdateEventWithStatus(int type, const std::string& text);
    void DeviceConnectedWithVersion(const std::string& label, const std::string& version);
    void DeviceDisconnectedWithButton(const std::string& label, bool checkDeviceButton);
    void SetDeviceLabelWithVersion(const std::string& label, const std::string& version);
    void SetFirmwareFileWithStatus(const std::string& label, bool ok) override;
    void SetFileVersion(const std::string& version) override;
    void MaybeEnableUpdateButton();

    // Window actions.
    static void CheckDevice(NS::Object* target, NS::Object* sender);
    static void ChooseUpdate(NS::Object* target, NS::Object* sender);
    static void ClearFile(NS::Object* target, NS::Object* sender);
    static void Update(NS::Object* target, NS::Object* sender);
    static void OKClicked(NS::Object* target, NS::Object* sender);

    // FirmwareFileLoading::Client: the file side hands its verdicts to the Updater.
    void FirmwareVerified(std::shared_ptr<const FirmwareContainer> container,
                          const std::string& fileName) override;
    void FirmwareDropped() override;

    Updater* GetUpdater() const { return fUpdater.get(); }
    bool IsConnected() const { return fConnected; }
    // Whether the file in the window was chosen by the user rather than downloaded.
    bool IsLocalFile() const { return fLocalFile; }

private:
    explicit AppDelegate(USB_FPGA::Player player) : fPlayer(std::move(player)) {}
    ~AppDelegate() override;

    const USB_FPGA::Player fPlayer;
    UIBridge fBridge;
    std::unique_ptr<Updater> fUpdater;
    std::shared_ptr<FirmwareFileLoading> fFiles;
    bool fConnected = false;
    bool fFileSet = false;
    bool fLocalFile = false;
};
