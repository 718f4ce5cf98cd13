#pragma once

// What the headless web views keep for their tests: the page factory, the live views and their
// pages, and the records of loads, scripts and dropped messages.

#include <WebKitTesting/WebKitTesting.h>

namespace WebKitPlatform {

struct State
{
    WebKitTesting::PageFactory fFactory;
    std::vector<WK::WebView*> fViews;
    std::map<WK::WebView*, std::unique_ptr<WebKitTesting::Page>> fPages;
    std::vector<WebKitTesting::LoadRecord> fLoads;
    std::vector<WebKitTesting::ScriptRecord> fScripts;
    std::vector<WebKitTesting::DroppedMessage> fDropped;
};

// Main thread only, as the views are.
State& state();

} // namespace WebKitPlatform
