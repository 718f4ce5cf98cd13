#pragma once

// The web view's UI delegate: it keeps a reference to its view and leaves every choice to the
// defaults.

#include <WebKit/WebKit.h>

class WebKitUIDelegate : public WK::UIDelegate
{
public:
    static WebKitUIDelegate* create() { return new WebKitUIDelegate; }

    // Not retained: the view holds its delegate weakly and outlives it in the delegate's owner.
    WK::WebView* view = nullptr;

private:
    WebKitUIDelegate() = default;
};
