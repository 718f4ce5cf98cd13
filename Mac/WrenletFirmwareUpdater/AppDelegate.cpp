#include "AppDelegate.h"

#include "AutoCFRef.h"

#include <AppKit/NSOpenPanel.h>

namespace {

constexpr const char* kUpdating = "Updating...";
constexpr const char* kSuccess = "Success!";

auto_cfref<CFStringRef> Text(const std::string& text)
{
    return auto_cfref<CFStringRef>(
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

void SetText(NS::TextField* field, const std::string& text)
{
    if (field != nullptr) {
        field->setStringValue(Text(text));
    }
}

std::string TextOf(NS::TextField* field)
{
    if (field == nullptr || field->stringValue() == nullptr) {
        return {};
    }
    char buffer[256] = {};
    CFStringGetCString(field->stringValue(), buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

AppDelegate* Delegate(NS::Object* target)
{
    return static_cast<AppDelegate*>(target);
}

} // namespace

AppDelegate::~AppDelegate()
{
    fFiles.reset();
    fUpdater.reset();
    fBridge.SetDelegate(nullptr);
}

void AppDelegate::applicationDidFinishLaunching(NS::Object*)
{
    fConnected = false;
    fFileSet = false;
    fLocalFile = false;
    fBridge.SetDelegate(this);
    fUpdater = std::make_unique<Updater>(fBridge, fPlayer);
    fUpdater->Init();
    fFiles = std::make_shared<FirmwareFileLoading>(*this);
    fFiles->StartDownload();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NS::Application*)
{
    return true;
}

void AppDelegate::applicationWillTerminate(NS::Object*)
{
    // Stops the download, discovery, the timers and a run in progress.
    fFiles.reset();
    fUpdater.reset();
}

void AppDelegate::UpdateEventWithStatus(int type, const std::string& text)
{
    if (!fConnected) {
        return;
    }
    switch (type) {
    case Updater::kEventStart:
        SetText(ProgressLabel, text.empty() ? kUpdating : text);
        ChooseFileButton->setEnabled(false);
        ClearFileButton->setEnabled(false);
        UpdateButton->setHidden(true);
        Progress->setMinValue(0);
        Progress->setMaxValue(100);
        Progress->setDoubleValue(0);
        Progress->setHidden(false);
        break;
    case Updater::kEventProgress:
        if (!text.empty()) {
            SetText(ProgressLabel, text);
        }
        Progress->setDoubleValue(fUpdater ? fUpdater->ProgressValue() : 0);
        break;
    case Updater::kEventEnd:
        SetText(ProgressLabel, text.empty() ? kSuccess : text);
        OKButton->setHidden(false);
        Progress->setHidden(true);
        break;
    default:
        break;
    }
}

void AppDelegate::DeviceConnectedWithVersion(const std::string& label, const std::string& version)
{
    if (fConnected) {
        printf("DeviceConnected called more than once\n");
        return;
    }
    fConnected = true;
    SetText(DeviceLabel, label);
    SetText(DeviceVersionLabel, version);
    CheckDeviceButton->setHidden(true);
    UpdateButton->setEnabled(fFileSet);
    MaybeEnableUpdateButton();
}

void AppDelegate::DeviceDisconnectedWithButton(const std::string& label, bool checkDeviceButton)
{
    SetText(DeviceLabel, label);
    SetText(DeviceVersionLabel, checkDeviceButton ? "Unknown" : "No Device Connected");
    SetText(ProgressLabel, "");
    CheckDeviceButton->setHidden(!checkDeviceButton);
    Progress->setHidden(true);
    OKButton->setHidden(true);
    fConnected = false;
}

void AppDelegate::SetDeviceLabelWithVersion(const std::string& label, const std::string& version)
{
    SetText(DeviceLabel, label);
    SetText(DeviceVersionLabel, version);
}

void AppDelegate::SetFirmwareFileWithStatus(const std::string& label, bool ok)
{
    fFileSet = ok;
    SetText(FileLabel, label);
    UpdateButton->setEnabled(fFileSet && fConnected);
}

void AppDelegate::SetFileVersion(const std::string& version)
{
    SetText(FileVersionLabel, version);
    MaybeEnableUpdateButton();
}

void AppDelegate::MaybeEnableUpdateButton()
{
    if (fConnected && TextOf(DeviceVersionLabel) == TextOf(FileVersionLabel)) {
        SetText(ProgressLabel, "Up to date!");
    }
}

void AppDelegate::CheckDevice(NS::Object* target, NS::Object*)
{
    if (Updater* updater = Delegate(target)->fUpdater.get()) {
        updater->CheckDevice();
    }
}

void AppDelegate::ChooseUpdate(NS::Object* target, NS::Object*)
{
    AppDelegate* delegate = Delegate(target);
    NS::OpenPanel* panel = NS::OpenPanel::openPanel();
    const void* types[] = {CFSTR("image")};
    const auto_cfref<CFArrayRef> allowed(
        CFArrayCreate(kCFAllocatorDefault, types, 1, &kCFTypeArrayCallBacks));
    panel->setAllowedFileTypes(allowed);
    // The answer comes on a later turn of the main loop: the delegate is kept until then.
    delegate->retain();
    panel->beginSheetModalForWindow(delegate->window, [delegate, panel](NS::ModalResponse response) {
        if (response == NS::ModalResponseOK && panel->URL() != nullptr && delegate->fFiles) {
            const auto_cfref<CFStringRef> path(CFURLCopyFileSystemPath(panel->URL(), kCFURLPOSIXPathStyle));
            char buffer[4096] = {};
            CFStringGetCString(path, buffer, sizeof buffer, kCFStringEncodingUTF8);
            delegate->fLocalFile = true;
            delegate->SetFirmwareFileWithStatus("Loading...", false);
            delegate->ClearFileButton->setEnabled(true);
            delegate->fFiles->SetFirmwareFile(buffer);
        }
        panel->release();
        delegate->release();
    });
}

void AppDelegate::ClearFile(NS::Object* target, NS::Object*)
{
    AppDelegate* delegate = Delegate(target);
    delegate->fLocalFile = false;
    delegate->UpdateButton->setEnabled(false);
    delegate->ClearFileButton->setEnabled(false);
    if (delegate->fFiles) {
        delegate->fFiles->StartDownload();
    }
}

void AppDelegate::FirmwareVerified(std::shared_ptr<const FirmwareContainer> container,
                                   const std::string& fileName)
{
    if (fUpdater) {
        fUpdater->FirmwareVerified(std::move(container), fileName);
    }
}

void AppDelegate::FirmwareDropped()
{
    if (fUpdater) {
        fUpdater->FirmwareDropped();
    }
}

void AppDelegate::Update(NS::Object* target, NS::Object*)
{
    if (Updater* updater = Delegate(target)->fUpdater.get()) {
        updater->Update();
    }
}

void AppDelegate::OKClicked(NS::Object*, NS::Object* sender)
{
    NS::Application::sharedApplication().terminate(sender);
}
