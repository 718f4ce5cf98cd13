#include <WebKit/WebKit.h>

#include <Foundation/NSException.h>
#include <Foundation/NSString.h>

namespace WK {

UserContentController::~UserContentController()
{
    removeAllScriptMessageHandlers();
}

void UserContentController::addScriptMessageHandler(ScriptMessageHandler* handler, NS::String name)
{
    const std::string key = NS::UTF8String(name);
    if (fHandlers.contains(key)) {
        throw NS::Exception("NSInvalidArgumentException",
                            "Attempt to add script message handler with name '" + key +
                                "' when one already exists.");
    }
    handler->retain();
    fHandlers.emplace(key, handler);
}

void UserContentController::removeAllScriptMessageHandlers()
{
    auto handlers = std::move(fHandlers);
    fHandlers.clear();
    for (auto& entry : handlers) {
        entry.second->release();
    }
}

ScriptMessageHandler* UserContentController::handlerNamed(const std::string& name) const
{
    auto found = fHandlers.find(name);
    return found != fHandlers.end() ? found->second : nullptr;
}

std::vector<std::string> UserContentController::handlerNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : fHandlers) {
        names.push_back(entry.first);
    }
    return names;
}

ScriptMessage::ScriptMessage(NS::String name, CFTypeRef body, WebView* webView)
    : fName(static_cast<NS::String>(CFRetain(name))), fBody(CFRetain(body)), fWebView(webView)
{
    fWebView->retain();
}

ScriptMessage::~ScriptMessage()
{
    fWebView->release();
    CFRelease(fBody);
    CFRelease(fName);
}

} // namespace WK
