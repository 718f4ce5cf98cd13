#pragma once

// A headless web view: it registers script-message handlers, loads one local file, evaluates
// scripts and delivers the page's messages, with nothing rendered. What a page does is supplied by
// the test's page factory (WebKitTesting). Objects are reference counted like the NS classes and
// made with a count of one.

#include <AppKit/NSView.h>
#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace WK {

class ScriptMessage;
class UserContentController;
class WebView;

class ScriptMessageHandler : public NS::Object
{
public:
    // On the main thread, on a later main-loop turn than the post, in the order the page posted.
    virtual void userContentControllerDidReceiveScriptMessage(UserContentController* controller,
                                                              ScriptMessage* message) = 0;
};

// The UI delegate protocol; a delegate that implements nothing keeps the defaults.
class UIDelegate : public NS::Object
{
public:
    UIDelegate();
    // What a weak holder keeps: it names this delegate until the delegate is destroyed.
    std::shared_ptr<UIDelegate*> weakCell() const { return fCell; }

protected:
    ~UIDelegate() override;

private:
    std::shared_ptr<UIDelegate*> fCell;
};

class ScriptMessage : public NS::Object
{
public:
    ScriptMessage(NS::String name, CFTypeRef body, WebView* webView);

    NS::String name() const { return fName; }
    // NS::String, a number or boolean (CFNumber, CFBoolean), NS::Null, NS::Array or NS::Dictionary.
    CFTypeRef body() const { return fBody; }
    WebView* webView() const { return fWebView; }

private:
    ~ScriptMessage() override;

    NS::String fName;
    CFTypeRef fBody;
    WebView* fWebView;
};

class UserContentController : public NS::Object
{
public:
    static UserContentController* create() { return new UserContentController; }

    // Retains the handler; a name already taken raises NS::Exception.
    void addScriptMessageHandler(ScriptMessageHandler* handler, NS::String name);
    void removeAllScriptMessageHandlers();
    // The handler under the name, or NULL.
    ScriptMessageHandler* handlerNamed(const std::string& name) const;
    std::vector<std::string> handlerNames() const;

private:
    UserContentController() = default;
    ~UserContentController() override;

    std::map<std::string, ScriptMessageHandler*> fHandlers;
};

// Key-value settings; an unknown key raises NS::Exception as key-value coding does.
class Preferences : public NS::Object
{
public:
    static Preferences* create() { return new Preferences; }

    void setValueForKey(CFTypeRef value, NS::String key);
    // The boolean under the key (kCFBooleanTrue or kCFBooleanFalse).
    CFTypeRef valueForKey(NS::String key) const;

private:
    Preferences();
    bool& slot(NS::String key);
    const bool& slot(NS::String key) const;

    bool fDeveloperExtrasEnabled = false;
    bool fAllowFileAccessFromFileURLs = false;
    bool fJavaScriptEnabled = true;
};

class WebViewConfiguration : public NS::Object
{
public:
    static WebViewConfiguration* create() { return new WebViewConfiguration; }

    // Retains the controller.
    void setUserContentController(UserContentController* controller);
    UserContentController* userContentController() const { return fController; }
    Preferences* preferences() const { return fPreferences; }

private:
    WebViewConfiguration();
    ~WebViewConfiguration() override;

    UserContentController* fController;
    Preferences* fPreferences;
};

class WebView : public NS::View
{
public:
    // Uses the configuration's controller and preferences objects themselves, so settings made
    // after creation still apply.
    static WebView* initWithFrame(NS::Rect frame, WebViewConfiguration* configuration);

    WebViewConfiguration* configuration() const { return fConfiguration; }
    // Kept weakly: a released delegate reads back NULL.
    void setUIDelegate(WK::UIDelegate* delegate);
    WK::UIDelegate* UIDelegate() const;

    // Completes on a later main-loop turn when the file exists inside the read-access folder;
    // otherwise the load fails without telling the caller and the view stays empty.
    void loadFileURL(NS::URL fileURL, NS::URL readAccessURL);

    // Main thread only: a call from any other thread ends the process. The completion handler may
    // be empty.
    void evaluateJavaScript(NS::String script, std::function<void(CFTypeRef, NS::Error)> completionHandler);

private:
    WebView(NS::Rect frame, WebViewConfiguration* configuration);
    ~WebView() override;

    WebViewConfiguration* fConfiguration;
    std::shared_ptr<WK::UIDelegate*> fUIDelegate;
};

} // namespace WK
