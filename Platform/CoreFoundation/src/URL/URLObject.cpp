#include "URL/URLObject.h"

#include <CFPlatform/String.h>

#include <functional>

namespace CFPlatform {

CFTypeID URLObject::staticTypeID()
{
    static const CFTypeID type = registerType("CFURL");
    return type;
}

URLObject::URLObject(UriReference parts, std::string text, CFStringRef string, CFURLRef base)
    : fParts(std::move(parts)), fText(std::move(text)), fString(string), fBase(base)
{
    if (fBase) {
        CFRetain(fBase);
    }
}

URLObject::~URLObject()
{
    CFRelease(fString);
    if (fBase) {
        CFRelease(fBase);
    }
}

CFURLRef URLObject::create(UriReference parts, CFURLRef base)
{
    std::string text = parts.toString();
    CFStringRef string = createStringFromUTF8(text);
    if (!string) {
        return nullptr;
    }
    CFURLRef effectiveBase = parts.scheme ? nullptr : base;
    return (new URLObject(std::move(parts), std::move(text), string, effectiveBase))->ref();
}

bool URLObject::equals(const Object& other) const
{
    const auto& url = static_cast<const URLObject&>(other);
    if (fText != url.fText) {
        return false;
    }
    return fBase == url.fBase || CFEqual(fBase, url.fBase);
}

CFHashCode URLObject::hash() const
{
    return std::hash<std::string>()(fText);
}

UriReference URLObject::absoluteParts() const
{
    if (!fBase) {
        return fParts;
    }
    return resolveReference(urlOf(fBase, "CFURLCopyAbsoluteURL").absoluteParts(), fParts);
}

const URLObject& urlOf(CFURLRef url, const char* call)
{
    const Object& object = objectOf(url, call);
    if (object.typeID() != URLObject::staticTypeID()) {
        fatal(call, "not a CFURL");
    }
    return static_cast<const URLObject&>(object);
}

} // namespace CFPlatform

using CFPlatform::URLObject;
using CFPlatform::urlOf;

CFTypeID CFURLGetTypeID(void)
{
    return URLObject::staticTypeID();
}

CFURLRef CFURLCreateWithString(CFAllocatorRef, CFStringRef URLString, CFURLRef baseURL)
{
    if (!URLString) {
        return nullptr;
    }
    if (baseURL) {
        urlOf(baseURL, "CFURLCreateWithString");
    }
    std::optional<std::string> text = CFPlatform::utf8Of(URLString);
    if (!text) {
        return nullptr;
    }
    std::optional<CFPlatform::UriReference> parts = CFPlatform::parseUriReference(*text);
    return parts ? URLObject::create(std::move(*parts), baseURL) : nullptr;
}

CFStringRef CFURLGetString(CFURLRef anURL)
{
    return urlOf(anURL, "CFURLGetString").string();
}

CFURLRef CFURLGetBaseURL(CFURLRef anURL)
{
    return urlOf(anURL, "CFURLGetBaseURL").base();
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL)
{
    const URLObject& url = urlOf(relativeURL, "CFURLCopyAbsoluteURL");
    if (!url.base()) {
        CFRetain(relativeURL);
        return relativeURL;
    }
    return URLObject::create(url.absoluteParts(), nullptr);
}
