#pragma once

// The activation app's one object: asks the system to activate the driver extension and shows how
// that goes in its window; started by an installer, it keeps the window hidden and quits as soon
// as the outcome is known.

#include <AppKit/AppKit.h>
#include <SystemExtensions/SystemExtensions.h>

#include <string>

class AppDelegate : public NS::Object,
                    public NS::ApplicationDelegate,
                    public OS::SystemExtensionRequestDelegate
{
public:
    enum State
    {
        kInstalling = 0,
        kWaitingForApproval = 1,
        kInstalled = 2,
        kFailed = 3,
    };

    static AppDelegate* create() { return new AppDelegate; }

    // Outlets, connected by the nib; not retained.
    NS::Window* window = nullptr;
    NS::TextField* statusText = nullptr;
    NS::Button* openMonitorBtn = nullptr;
    NS::Button* openConsoleBtn = nullptr;
    NS::MenuItem* appMenuItem = nullptr;
    NS::MenuItem* quitMenuItem = nullptr;

    void awakeFromNib();

    // NS::ApplicationDelegate.
    void applicationDidFinishLaunching(NS::Object* notification) override;
    bool applicationShouldTerminateAfterLastWindowClosed(NS::Application* sender) override;
    void applicationWillTerminate(NS::Object* notification) override;

    // OS::SystemExtensionRequestDelegate.
    OS::SystemExtensionReplacementAction
    requestActionForReplacingExtension(OS::SystemExtensionRequest* request,
                                       OS::SystemExtensionProperties* existing,
                                       OS::SystemExtensionProperties* extension) override;
    void requestNeedsUserApproval(OS::SystemExtensionRequest* request) override;
    void requestDidFinishWithResult(OS::SystemExtensionRequest* request,
                                    OS::SystemExtensionRequestResult result) override;
    void requestDidFailWithError(OS::SystemExtensionRequest* request, NS::Error error) override;

    // Actions of the two buttons.
    static void openMonitor(NS::Object* target, NS::Object* sender);
    static void openConsole(NS::Object* target, NS::Object* sender);

    double widthOfString(NS::String text, const NS::Font& font) const;
    void setTextFieldText(NS::TextField* field, NS::String text, NS::Color color);

    int state() const { return fState; }
    // The error text below the status, once a failure has made it.
    NS::TextField* errorDescription() const { return fErrorDescription; }

private:
    AppDelegate() = default;
    ~AppDelegate() override;

    void updateStatusText();
    void showInstallError();
    void setButtonTitleColor(NS::Button* button, NS::Color color);
    void quitIfCalledFromInstaller();

    int fState = kInstalling;
    bool fCalledFromInstaller = false;
    std::string fVersionString;
    NS::Error fInstallError = nullptr;
    NS::TextField* fErrorDescription = nullptr;
    // An installed extension of the same version was kept: the failure that ends the request is
    // not one.
    bool fKeptInstalledExtension = false;
};
