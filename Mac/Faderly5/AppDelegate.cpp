#include "AppDelegate.h"

#include <LocalAddresses.h>

#include <CoreFoundation/CFDate.h>
#include <Foundation/NSBundle.h>
#include <Foundation/NSProcessInfo.h>
#include <Foundation/NSString.h>
#include <Foundation/NSURL.h>

namespace {

// User initiated, with idle system sleep allowed.
constexpr uint64_t kMixingActivity = 0x00EFFFFF;
constexpr double kWidth = 1140;
constexpr double kHeight = 820;
constexpr std::chrono::milliseconds kUpdatePeriod{2000};

} // namespace

AppDelegate::AppDelegate(uint16_t udpPort) : fUdpPort(udpPort), fSelf(std::make_shared<AppDelegate*>(this)) {}

AppDelegate::~AppDelegate()
{
    *fSelf = nullptr;
    d_udpBrowser.reset();
    d_dispatcher.reset();
    if (_window) {
        _window->release();
    }
    if (_webView) {
        _webView->release();
    }
    if (_uiDelegate) {
        _uiDelegate->release();
    }
}

void AppDelegate::applicationDidFinishLaunching(NS::Object*)
{
    _noAppNap = NS::ProcessInfo::processInfo().beginActivityWithOptions(kMixingActivity,
                                                                        CFSTR("Mixing features can't nap"));

    NS::String resources = NS::Bundle::mainBundle()->resourcePath();
    NS::String pagePath = NS::stringWithFormat("%@/wrenlet/index.html", resources);
    NS::String folderPath = NS::stringWithFormat("%@/wrenlet", resources);
    CFRelease(resources);

    WK::UserContentController* controller = WK::UserContentController::create();
    controller->addScriptMessageHandler(this, CFSTR("msgJStoObjC"));
    WK::WebViewConfiguration* configuration = WK::WebViewConfiguration::create();
    configuration->setUserContentController(controller);
    controller->release();

    _webView = WK::WebView::initWithFrame(NS::MakeRect(0, 0, kWidth, kHeight), configuration);
    configuration->release();
    _uiDelegate = WebKitUIDelegate::create();
    _uiDelegate->view = _webView;
    _webView->setUIDelegate(_uiDelegate);

    WK::Preferences* preferences = _webView->configuration()->preferences();
    preferences->setValueForKey(kCFBooleanTrue, CFSTR("developerExtrasEnabled"));
    preferences->setValueForKey(kCFBooleanTrue, CFSTR("allowFileAccessFromFileURLs"));

    NS::URL pageURL = NS::fileURLWithPath(pagePath);
    NS::URL folderURL = NS::fileURLWithPath(folderPath, true);
    _webView->loadFileURL(pageURL, folderURL);
    CFRelease(pageURL);
    CFRelease(folderURL);
    CFRelease(pagePath);
    CFRelease(folderPath);

    _window = NSWindowImpl::initWithContentRect(NS::MakeRect(0, 0, kWidth, kHeight),
                                                NS::WindowStyleMaskTitled | NS::WindowStyleMaskClosable |
                                                    NS::WindowStyleMaskMiniaturizable |
                                                    NS::WindowStyleMaskResizable,
                                                NS::BackingStoreBuffered, false);
    _window->setReleasedWhenClosed(false);
    _window->setMinSize(NS::Size{800, 400});
    _window->setContentView(_webView);
    _window->makeKeyAndOrderFront(nullptr);
    _window->center();

    d_dispatcher = std::make_unique<Dispatcher>([](const Message& message) { message(); });
    Dispatcher* dispatcher = d_dispatcher.get();
    // The reader thread skips the post while the dispatcher stops or writers wait, and drops it on
    // a full queue: the periodic update catches up.
    d_udpClient =
        std::make_unique<UDPClient>([dispatcher, update = updateMessage()] { dispatcher->tryPost(update); });
    d_udpBrowser = std::make_unique<UDPDiscovery>(*d_udpClient, fUdpPort);
    d_udpTimer = d_dispatcher->postPeriodic(kUpdatePeriod, updateMessage());
}

AppDelegate::Message AppDelegate::updateMessage() const
{
    return [self = std::weak_ptr<AppDelegate*>(fSelf)] {
        if (auto cell = self.lock(); cell && *cell) {
            (*cell)->udpTimerCallback();
        }
    };
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NS::Application*)
{
    return true;
}

void AppDelegate::applicationWillTerminate(NS::Object*)
{
    d_udpBrowser.reset();
    if (d_dispatcher && d_udpTimer) {
        d_dispatcher->stopTimer(d_udpTimer);
        d_udpTimer.reset();
    }
    if (_noAppNap) {
        NS::ProcessInfo::processInfo().endActivity(_noAppNap);
        _noAppNap = nullptr;
    }
}

void AppDelegate::udpTimerCallback()
{
    if (!d_udpBrowser) {
        return;
    }
    for (const std::string& call :
         d_devices.update(d_udpBrowser->messages(), CFAbsoluteTimeGetCurrent(), getMyIpAddresses())) {
        NS::String script = NS::createStringWithUTF8(call);
        runScript(script);
        CFRelease(script);
    }
}

void AppDelegate::runScript(NS::String script)
{
    _webView->evaluateJavaScript(script, nullptr);
}
