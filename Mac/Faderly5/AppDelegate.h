#pragma once

// The mixer's host: a window whose whole content is the mixer's web page, the bridge that answers
// the page's messages, the network endpoint discovery and the preset files. Main thread only,
// apart from the discovery's reader, which only posts to the dispatcher. Failures are silent.

#include "NSWindowImpl.h"
#include "UDPClient.h"
#include "WebKitUIDelegate.h"

#include <DiscoveryUpdate.h>
#include <RunLoopDispatcher.h>
#include <UDPDiscovery.h>
#include <WrappedLambda.h>

#include <AppKit/NSApplication.h>
#include <Foundation/NSTypes.h>
#include <WebKit/WebKit.h>

#include <memory>

class AppDelegate : public WK::ScriptMessageHandler, public NS::ApplicationDelegate
{
public:
    using Message = vork::wrapped_lambda<void(), 128, 8>;
    using Dispatcher = vork::RunLoopDispatcher<Message, 100>;

    // Made with a retain count of one; `udpPort` 0 listens on any free port.
    static AppDelegate* create(uint16_t udpPort = UDPDiscovery::kDefaultPort)
    {
        return new AppDelegate(udpPort);
    }

    void applicationDidFinishLaunching(NS::Object* notification) override;
    bool applicationShouldTerminateAfterLastWindowClosed(NS::Application* sender) override;
    void applicationWillTerminate(NS::Object* notification) override;

    void userContentControllerDidReceiveScriptMessage(WK::UserContentController* controller,
                                                      WK::ScriptMessage* message) override;

    void open_Pyx_firmware_updater(NS::Object* sender);
    void open_wrn_firmware_updater(NS::Object* sender);
    void runSavePresetFileDialog(NS::String text, NS::String fileType);
    void runLoadPresetFileDialog(NS::String fileType);

    // The discovery update and the page calls it makes.
    void udpTimerCallback();

    NS::Window* window() const { return _window; }
    WK::WebView* webView() const { return _webView; }
    // The bound discovery port, 0 when none.
    uint16_t udpPort() const { return d_udpBrowser ? d_udpBrowser->port() : 0; }

private:
    explicit AppDelegate(uint16_t udpPort);
    ~AppDelegate() override;

    // A run of the update that does nothing once the delegate has gone.
    Message updateMessage() const;
    void runScript(NS::String script);
    void launchUpdater(const char* bundleName);

    const uint16_t fUdpPort;
    NSWindowImpl* _window = nullptr;
    WK::WebView* _webView = nullptr;
    WebKitUIDelegate* _uiDelegate = nullptr;
    NS::Object* _noAppNap = nullptr;

    std::unique_ptr<Dispatcher> d_dispatcher;
    std::shared_ptr<Dispatcher::Timer> d_udpTimer;
    // The dispatcher's messages reach the delegate through this cell, emptied when it goes.
    std::shared_ptr<AppDelegate*> fSelf;
    std::unique_ptr<UDPClient> d_udpClient;
    std::unique_ptr<UDPDiscovery> d_udpBrowser;
    DiscoveryUpdate d_devices;
};
