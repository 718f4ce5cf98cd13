#include "DateTime.h"

#include "UString/UStringConvertMac.h"

#include <AutoCFRef.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDateFormatter.h>
#include <CoreFoundation/CFLocale.h>

namespace Pellix {

double GetAbsoluteTime()
{
    return CFAbsoluteTimeGetCurrent();
}

UString GetDateTimeString()
{
    auto_cfref<CFLocaleRef> locale(CFLocaleCreate(nullptr, CFSTR("en_US")));
    auto_cfref<CFDateFormatterRef> formatter(
        CFDateFormatterCreate(nullptr, locale, kCFDateFormatterShortStyle, kCFDateFormatterFullStyle));
    if (!formatter) {
        return UString();
    }
    auto_cfref<CFStringRef> text(
        CFDateFormatterCreateStringWithAbsoluteTime(nullptr, formatter, CFAbsoluteTimeGetCurrent()));
    return CFToUString(text);
}

} // namespace Pellix
