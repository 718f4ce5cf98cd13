#include "TypedObject.h"
#include <CFPlatform/Object.h>
#include <CFPlatform/String.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFString.h>

#include <string>

namespace {

class ErrorObject final : public CFPlatform::Object
{
public:
    ErrorObject(CFErrorDomain domain, CFIndex code, CFDictionaryRef userInfo)
        : fDomain(static_cast<CFStringRef>(CFRetain(domain))), fCode(code),
          fUserInfo(userInfo
                        ? CFDictionaryCreateCopy(nullptr, userInfo)
                        : CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                             &kCFTypeDictionaryValueCallBacks))
    {}
    ~ErrorObject() override
    {
        CFRelease(fDomain);
        CFRelease(fUserInfo);
    }

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("CFError");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        auto& error = static_cast<const ErrorObject&>(other);
        return fCode == error.fCode && CFEqual(fDomain, error.fDomain) && CFEqual(fUserInfo, error.fUserInfo);
    }
    CFHashCode hash() const override { return static_cast<CFHashCode>(fCode) ^ CFHash(fDomain); }

    CFErrorDomain domain() const { return fDomain; }
    CFIndex code() const { return fCode; }
    CFDictionaryRef userInfo() const { return fUserInfo; }

private:
    CFErrorDomain fDomain;
    CFIndex fCode;
    CFDictionaryRef fUserInfo;
};

} // namespace

const CFErrorDomain kCFErrorDomainPOSIX = CFSTR("NSPOSIXErrorDomain");
const CFErrorDomain kCFErrorDomainOSStatus = CFSTR("NSOSStatusErrorDomain");
const CFErrorDomain kCFErrorDomainCocoa = CFSTR("NSCocoaErrorDomain");
const CFStringRef kCFErrorDescriptionKey = CFSTR("NSDescription");

CFTypeID CFErrorGetTypeID(void)
{
    return ErrorObject::staticTypeID();
}

CFErrorRef CFErrorCreate(CFAllocatorRef, CFErrorDomain domain, CFIndex code, CFDictionaryRef userInfo)
{
    if (!domain) {
        return nullptr;
    }
    return reinterpret_cast<CFErrorRef>(
        static_cast<CFPlatform::Object*>(new ErrorObject(domain, code, userInfo)));
}

CFErrorDomain CFErrorGetDomain(CFErrorRef err)
{
    return CFPlatform::objectAs<ErrorObject>(err, "CFErrorGetDomain").domain();
}

CFIndex CFErrorGetCode(CFErrorRef err)
{
    return CFPlatform::objectAs<ErrorObject>(err, "CFErrorGetCode").code();
}

CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err)
{
    return static_cast<CFDictionaryRef>(
        CFRetain(CFPlatform::objectAs<ErrorObject>(err, "CFErrorCopyUserInfo").userInfo()));
}

CFStringRef CFErrorCopyDescription(CFErrorRef err)
{
    const ErrorObject& error = CFPlatform::objectAs<ErrorObject>(err, "CFErrorCopyDescription");
    const void* description = CFDictionaryGetValue(error.userInfo(), kCFErrorDescriptionKey);
    if (description && CFGetTypeID(description) == CFStringGetTypeID()) {
        return static_cast<CFStringRef>(CFRetain(description));
    }
    std::string text = "The operation couldn't be completed. (" +
                       CFPlatform::utf8Of(error.domain()).value_or("?") + " error " +
                       std::to_string(error.code()) + ".)";
    return CFPlatform::createStringFromUTF8(text);
}
