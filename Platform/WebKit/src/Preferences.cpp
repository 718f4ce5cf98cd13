#include <WebKit/WebKit.h>

#include <Foundation/NSException.h>
#include <Foundation/NSString.h>

namespace WK {

Preferences::Preferences() = default;

bool& Preferences::slot(NS::String key)
{
    return const_cast<bool&>(static_cast<const Preferences*>(this)->slot(key));
}

const bool& Preferences::slot(NS::String key) const
{
    const std::string name = NS::UTF8String(key);
    if (name == "developerExtrasEnabled") {
        return fDeveloperExtrasEnabled;
    }
    if (name == "allowFileAccessFromFileURLs") {
        return fAllowFileAccessFromFileURLs;
    }
    if (name == "javaScriptEnabled") {
        return fJavaScriptEnabled;
    }
    throw NS::Exception(
        "NSUnknownKeyException",
        "[<WKPreferences> valueForUndefinedKey:]: this class is not key value coding-compliant "
        "for the key " +
            name + ".");
}

void Preferences::setValueForKey(CFTypeRef value, NS::String key)
{
    bool& setting = slot(key);
    if (value && CFGetTypeID(value) == CFBooleanGetTypeID()) {
        setting = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
    } else if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
        int number = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
        setting = number != 0;
    } else {
        setting = false;
    }
}

CFTypeRef Preferences::valueForKey(NS::String key) const
{
    return slot(key) ? kCFBooleanTrue : kCFBooleanFalse;
}

WebViewConfiguration::WebViewConfiguration()
    : fController(UserContentController::create()), fPreferences(Preferences::create())
{}

WebViewConfiguration::~WebViewConfiguration()
{
    fController->release();
    fPreferences->release();
}

void WebViewConfiguration::setUserContentController(UserContentController* controller)
{
    controller->retain();
    fController->release();
    fController = controller;
}

} // namespace WK
