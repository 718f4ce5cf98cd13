#include "AppDelegate.h"

#include <Foundation/NSLog.h>
#include <Foundation/NSProcessInfo.h>
#include <dispatch/dispatch.h>

namespace {

constexpr const char* kExtensionIdentifier = "com.vork.driver.tide.dext";
constexpr const char* kAppName = "Vork Tide System Extension";
constexpr const char* kInstallerArgument = "calledFromInstaller";

NS::String makeString(const std::string& text)
{
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

bool calledFromInstaller()
{
    NS::Array arguments = NS::ProcessInfo::processInfo().copyArguments();
    bool called = false;
    if (CFArrayGetCount(arguments) >= 2) {
        CFTypeRef second = CFArrayGetValueAtIndex(arguments, 1);
        NS::String expected = makeString(kInstallerArgument);
        called = CFGetTypeID(second) == CFStringGetTypeID() && CFEqual(second, expected);
        CFRelease(expected);
    }
    CFRelease(arguments);
    return called;
}

} // namespace

AppDelegate::~AppDelegate()
{
    if (fInstallError != nullptr) {
        CFRelease(fInstallError);
    }
    if (fErrorDescription != nullptr) {
        fErrorDescription->release();
    }
}

void AppDelegate::awakeFromNib()
{
    NSLog(CFSTR("%s\n"), __PRETTY_FUNCTION__);
    if (fInstallError != nullptr) {
        CFRelease(fInstallError);
        fInstallError = nullptr;
    }
    if (fErrorDescription != nullptr) {
        fErrorDescription->release();
        fErrorDescription = nullptr;
    }
    fState = kInstalling;
    fVersionString = "2.0.0+95375";
    fCalledFromInstaller = calledFromInstaller();
    const NS::Color grey = NS::Color::colorWithRed(0.75, 0.75, 0.75, 1);
    setButtonTitleColor(openMonitorBtn, grey);
    setButtonTitleColor(openConsoleBtn, grey);
    NS::String name = makeString(kAppName);
    NS::String quit = makeString(std::string("Quit ") + kAppName);
    appMenuItem->setTitle(name);
    window->setTitle(name);
    quitMenuItem->setTitle(quit);
    CFRelease(quit);
    CFRelease(name);
}

void AppDelegate::applicationDidFinishLaunching(NS::Object*)
{
    if (!fCalledFromInstaller) {
        window->makeKeyAndOrderFront(this);
    }
    NS::String identifier = makeString(kExtensionIdentifier);
    NSLog(CFSTR("Activation request for %@"), identifier);
    OS::SystemExtensionRequest* request =
        OS::SystemExtensionRequest::activationRequestForExtension(identifier, dispatch_get_main_queue());
    if (request != nullptr) {
        request->setDelegate(this);
        OS::SystemExtensionManager::sharedManager().submitRequest(request);
        request->release();
    }
    CFRelease(identifier);
    updateStatusText();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NS::Application*)
{
    return true;
}

void AppDelegate::applicationWillTerminate(NS::Object*) {}

void AppDelegate::requestNeedsUserApproval(OS::SystemExtensionRequest*)
{
    NSLog(CFSTR("%s"), __PRETTY_FUNCTION__);
    fState = kWaitingForApproval;
    updateStatusText();
    quitIfCalledFromInstaller();
}

void AppDelegate::requestDidFinishWithResult(OS::SystemExtensionRequest*,
                                             OS::SystemExtensionRequestResult result)
{
    NSLog(CFSTR("%s %ld"), __PRETTY_FUNCTION__, long(result));
    NSLog(CFSTR("SYSX activation request succeeded"));
    fState = kInstalled;
    updateStatusText();
    quitIfCalledFromInstaller();
}

OS::SystemExtensionReplacementAction
AppDelegate::requestActionForReplacingExtension(OS::SystemExtensionRequest*,
                                                OS::SystemExtensionProperties* existing,
                                                OS::SystemExtensionProperties* extension)
{
    NSLog(CFSTR("%s"), __PRETTY_FUNCTION__);
    fState = kInstalled;
    updateStatusText();
    if (CFEqual(existing->bundleVersion(), extension->bundleVersion())) {
        NSLog(CFSTR("DEXT already installed"));
        fKeptInstalledExtension = true;
        return OS::SystemExtensionReplacementAction::Cancel;
    }
    NSLog(CFSTR("Upgrading DEXT"));
    fKeptInstalledExtension = false;
    return OS::SystemExtensionReplacementAction::Replace;
}

void AppDelegate::requestDidFailWithError(OS::SystemExtensionRequest*, NS::Error error)
{
    NSLog(CFSTR("%s"), __PRETTY_FUNCTION__);
    // Only the cancelled replacement of an equal version leaves the installed status standing: a
    // replacement that was let go on and failed did not install anything.
    if (!(fState == kInstalled && fKeptInstalledExtension)) {
        NS::String description = CFErrorCopyDescription(error);
        NSLog(CFSTR("SYSX activation request failed"));
        NSLog(CFSTR("%@"), description);
        CFRelease(description);
        CFRetain(error);
        if (fInstallError != nullptr) {
            CFRelease(fInstallError);
        }
        fInstallError = error;
        fState = kFailed;
        updateStatusText();
    }
    quitIfCalledFromInstaller();
}

void AppDelegate::quitIfCalledFromInstaller()
{
    if (fCalledFromInstaller) {
        NS::Application::sharedApplication().terminate(this);
    }
}

void AppDelegate::updateStatusText()
{
    std::string text;
    NS::Color color = NS::Color::whiteColor();
    switch (fState) {
    case kInstalling:
        text = "Installing system extension";
        break;
    case kWaitingForApproval:
        text = "Waiting for user approval";
        break;
    case kInstalled:
        text = "System extension version " + fVersionString + " installed";
        color = NS::Color::colorWithRed(0, 1, 0, 1);
        break;
    case kFailed:
        text = "Installation failed";
        color = NS::Color::colorWithRed(1, 0, 0, 1);
        break;
    default:
        NSLog(CFSTR("Invalid status?"));
        break;
    }
    if (!text.empty()) {
        NS::String string = makeString(text);
        const double width = widthOfString(string, statusText->font());
        const NS::Rect frame = statusText->frame();
        statusText->setFrame(NS::MakeRect(frame.origin.x + frame.size.width * 0.5 - width * 0.5,
                                          frame.origin.y, width + 10, frame.size.height));
        statusText->setStringValue(string);
        statusText->setTextColor(color);
        statusText->setNeedsDisplay(true);
        CFRelease(string);
    }
    if (fInstallError != nullptr) {
        showInstallError();
    }
}

void AppDelegate::showInstallError()
{
    NS::View* content = window->contentView();
    if (fErrorDescription == nullptr) {
        fErrorDescription = NS::TextField::create(NS::Rect{});
        if (fErrorDescription == nullptr) {
            return;
        }
        content->addSubview(fErrorDescription);
    }
    NS::String description = CFErrorCopyDescription(fInstallError);
    CFMutableStringRef text = CFStringCreateMutable(nullptr, 0);
    CFStringAppend(text, CFSTR("Error: "));
    CFStringAppend(text, description);
    fErrorDescription->setStringValue(text);
    CFRelease(text);
    CFRelease(description);
    const NS::Rect bounds = content->bounds();
    const double y = statusText->frame().origin.y;
    fErrorDescription->setFrame(NS::MakeRect(bounds.origin.x + 40, 40, bounds.size.width - 80, y - 80));
    fErrorDescription->setBounds(NS::MakeRect(0, 0, bounds.size.width - 80, y - 80));
    fErrorDescription->setBezeled(false);
    fErrorDescription->setEditable(false);
    fErrorDescription->setSelectable(true);
    fErrorDescription->setDrawsBackground(false);
    fErrorDescription->setBackgroundColor(NS::Color::clearColor());
    fErrorDescription->setTextColor(NS::Color::colorWithRed(1, 0, 0, 1));
    fErrorDescription->setLineBreakStrategy(NS::LineBreakStrategy::PushOut);
    fErrorDescription->setNeedsDisplay(true);
}

void AppDelegate::setButtonTitleColor(NS::Button* button, NS::Color color)
{
    NS::AttributedString title = button->attributedTitle();
    title.addForegroundColor(color, {0, title.length()});
    button->setAttributedTitle(title);
}

void AppDelegate::openMonitor(NS::Object*, NS::Object*)
{
    NS::Workspace::sharedWorkspace().launchApplication(CFSTR("Vork Monitor"));
}

void AppDelegate::openConsole(NS::Object*, NS::Object*)
{
    NS::Workspace::sharedWorkspace().launchApplication(CFSTR("Vork Console"));
}

double AppDelegate::widthOfString(NS::String text, const NS::Font& font) const
{
    return NS::AttributedString(text, font).size().width;
}

void AppDelegate::setTextFieldText(NS::TextField* field, NS::String text, NS::Color color)
{
    field->setPlaceholderString(text);
    field->setTextColor(color);
}
