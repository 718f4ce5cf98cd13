#include "Locale/LocaleObject.h"
#include "TypedObject.h"

#include <CFPlatform/String.h>
#include <CoreFoundation/CFString.h>

#include <unicode/locid.h>

namespace CFPlatform {

CFTypeID LocaleObject::staticTypeID()
{
    static const CFTypeID type = registerType("CFLocale");
    return type;
}

const LocaleObject& localeOf(CFLocaleRef locale, const char* call)
{
    return objectAs<LocaleObject>(locale, call);
}

} // namespace CFPlatform

CFTypeID CFLocaleGetTypeID(void)
{
    return CFPlatform::LocaleObject::staticTypeID();
}

CFLocaleRef CFLocaleCreate(CFAllocatorRef, CFStringRef localeIdentifier)
{
    if (!localeIdentifier) {
        return nullptr;
    }
    std::optional<std::string> identifier = CFPlatform::utf8Of(localeIdentifier);
    if (!identifier || icu::Locale(identifier->c_str()).isBogus()) {
        return nullptr;
    }
    auto* locale = new CFPlatform::LocaleObject(*identifier, CFStringCreateCopy(nullptr, localeIdentifier));
    return reinterpret_cast<CFLocaleRef>(static_cast<const CFPlatform::Object*>(locale));
}

CFStringRef CFLocaleGetIdentifier(CFLocaleRef locale)
{
    return CFPlatform::localeOf(locale, "CFLocaleGetIdentifier").identifierString();
}
