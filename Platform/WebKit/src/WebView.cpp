#include <WebKit/WebKit.h>

#include "WebKitState.h"

#include <Foundation/NSString.h>
#include <Foundation/NSURL.h>
#include <FoundationPlatform/RecordSequence.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace WK {

namespace {

bool onMainThread()
{
    return CFRunLoopGetCurrent() == CFRunLoopGetMain();
}

std::string textOf(NS::URL url)
{
    return url ? NS::UTF8String(CFURLGetString(url)) : std::string();
}

std::optional<std::filesystem::path> fileOf(NS::URL url)
{
    NS::String path = NS::path(url);
    if (!path) {
        return std::nullopt;
    }
    std::filesystem::path file(NS::UTF8String(path));
    CFRelease(path);
    return file;
}

// The file exists and lies inside the folder, after resolving links and dot segments.
bool readableInside(NS::URL fileURL, NS::URL folderURL)
{
    std::optional<std::filesystem::path> file = fileOf(fileURL);
    std::optional<std::filesystem::path> folder = fileOf(folderURL);
    std::error_code error;
    if (!file || !folder || !std::filesystem::is_regular_file(*file, error)) {
        return false;
    }
    const std::filesystem::path realFile = std::filesystem::canonical(*file, error);
    const std::filesystem::path realFolder = std::filesystem::canonical(*folder, error);
    if (error) {
        return false;
    }
    auto [folderEnd, fileAt] =
        std::mismatch(realFolder.begin(), realFolder.end(), realFile.begin(), realFile.end());
    return folderEnd == realFolder.end() && fileAt != realFile.end();
}

} // namespace

UIDelegate::UIDelegate() : fCell(std::make_shared<UIDelegate*>(this)) {}

UIDelegate::~UIDelegate()
{
    *fCell = nullptr;
}

WebView* WebView::initWithFrame(NS::Rect frame, WebViewConfiguration* configuration)
{
    auto* view = new WebView(frame, configuration);
    WebKitPlatform::state().fViews.push_back(view);
    return view;
}

WebView::WebView(NS::Rect frame, WebViewConfiguration* configuration)
    : NS::View(frame), fConfiguration(configuration ? configuration : WebViewConfiguration::create())
{
    if (configuration) {
        configuration->retain();
    }
}

WebView::~WebView()
{
    auto& state = WebKitPlatform::state();
    std::erase(state.fViews, this);
    state.fPages.erase(this);
    fConfiguration->release();
}

void WebView::setUIDelegate(WK::UIDelegate* delegate)
{
    fUIDelegate = delegate ? delegate->weakCell() : nullptr;
}

WK::UIDelegate* WebView::UIDelegate() const
{
    return fUIDelegate ? *fUIDelegate : nullptr;
}

void WebView::loadFileURL(NS::URL fileURL, NS::URL readAccessURL)
{
    auto& loads = WebKitPlatform::state().fLoads;
    const size_t index = loads.size();
    loads.push_back({textOf(fileURL), textOf(readAccessURL), WebKitTesting::LoadRecord::Pending,
                     FoundationPlatform::nextRecordSequence()});
    const bool readable = readableInside(fileURL, readAccessURL);
    retain();
    dispatch_async(dispatch_get_main_queue(), [this, index, readable] {
        auto& state = WebKitPlatform::state();
        if (index < state.fLoads.size()) {
            WebKitTesting::LoadRecord& record = state.fLoads[index];
            record.fOutcome =
                readable ? WebKitTesting::LoadRecord::Finished : WebKitTesting::LoadRecord::Failed;
            if (readable && state.fFactory) {
                state.fPages[this] = state.fFactory(this);
                state.fPages[this]->didFinishLoad(record.fFileURL);
            }
        }
        release();
    });
}

void WebView::evaluateJavaScript(NS::String script,
                                 std::function<void(CFTypeRef, NS::Error)> completionHandler)
{
    if (!onMainThread()) {
        std::fprintf(
            stderr, "-[WKWebView evaluateJavaScript:completionHandler:] must be called on the main thread\n");
        std::abort();
    }
    auto& state = WebKitPlatform::state();
    auto page = state.fPages.find(this);
    const bool reached = page != state.fPages.end() && page->second;
    const std::string text = NS::UTF8String(script);
    state.fScripts.push_back({text, true, reached, FoundationPlatform::nextRecordSequence()});
    if (reached) {
        page->second->evaluate(text);
    }
    if (completionHandler) {
        dispatch_async(dispatch_get_main_queue(),
                       [completionHandler] { completionHandler(nullptr, nullptr); });
    }
}

} // namespace WK
