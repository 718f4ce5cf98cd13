#include <WebKitTesting/WebKitTesting.h>

#include "WebKitState.h"

#include <Foundation/NSString.h>
#include <Foundation/NSValue.h>
#include <FoundationPlatform/RecordSequence.h>
#include <dispatch/dispatch.h>

namespace WebKitTesting {

namespace {

// The page's value as the platform hands it to a handler; the caller releases it.
CFTypeRef createBody(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        return NS::createStringWithUTF8(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::boolean:
        return NS::numberWithBool(value.get<bool>());
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: {
        const double number = value.get<double>();
        return CFNumberCreate(nullptr, kCFNumberDoubleType, &number);
    }
    case nlohmann::json::value_t::array: {
        CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (const nlohmann::json& element : value) {
            CFTypeRef converted = createBody(element);
            CFArrayAppendValue(array, converted);
            CFRelease(converted);
        }
        return array;
    }
    case nlohmann::json::value_t::object: {
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (const auto& [key, element] : value.items()) {
            CFStringRef name = NS::createStringWithUTF8(key);
            CFTypeRef converted = createBody(element);
            CFDictionarySetValue(dictionary, name, converted);
            CFRelease(converted);
            CFRelease(name);
        }
        return dictionary;
    }
    default:
        return CFRetain(NS::Null::null());
    }
}

} // namespace

void setPageFactory(PageFactory factory)
{
    WebKitPlatform::state().fFactory = std::move(factory);
}

void postScriptMessage(WK::WebView* webView, const std::string& name, const nlohmann::json& value)
{
    CFTypeRef body = createBody(value);
    webView->retain();
    dispatch_async(dispatch_get_main_queue(), [webView, name, body] {
        WK::UserContentController* controller = webView->configuration()->userContentController();
        if (WK::ScriptMessageHandler* handler = controller->handlerNamed(name)) {
            NS::String messageName = NS::createStringWithUTF8(name);
            auto* message = new WK::ScriptMessage(messageName, body, webView);
            CFRelease(messageName);
            handler->retain();
            handler->userContentControllerDidReceiveScriptMessage(controller, message);
            handler->release();
            message->release();
        } else {
            WebKitPlatform::state().fDropped.push_back({name, FoundationPlatform::nextRecordSequence()});
        }
        CFRelease(body);
        webView->release();
    });
}

std::vector<WK::WebView*> webViews()
{
    return WebKitPlatform::state().fViews;
}

Page* pageOf(WK::WebView* webView)
{
    auto& pages = WebKitPlatform::state().fPages;
    auto found = pages.find(webView);
    return found != pages.end() ? found->second.get() : nullptr;
}

std::vector<LoadRecord> loads()
{
    return WebKitPlatform::state().fLoads;
}

std::vector<ScriptRecord> scripts()
{
    return WebKitPlatform::state().fScripts;
}

std::vector<DroppedMessage> droppedMessages()
{
    return WebKitPlatform::state().fDropped;
}

void releaseScriptMessageHandlers()
{
    for (WK::WebView* webView : WebKitPlatform::state().fViews) {
        webView->configuration()->userContentController()->removeAllScriptMessageHandlers();
    }
}

void reset()
{
    auto& state = WebKitPlatform::state();
    state.fFactory = nullptr;
    state.fPages.clear();
    state.fLoads.clear();
    state.fScripts.clear();
    state.fDropped.clear();
}

} // namespace WebKitTesting
