#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFLocale.h>

typedef struct __CFDateFormatter* CFDateFormatterRef;

typedef CFIndex CFDateFormatterStyle;

enum : CFDateFormatterStyle
{
    kCFDateFormatterNoStyle = 0,
    kCFDateFormatterShortStyle = 1,
    kCFDateFormatterMediumStyle = 2,
    kCFDateFormatterLongStyle = 3,
    kCFDateFormatterFullStyle = 4
};

CF_EXPORT CFTypeID CFDateFormatterGetTypeID(void);
// ICU's date-time formatter for the locale in the process's time zone; NULL when ICU refuses.
CF_EXPORT CFDateFormatterRef CFDateFormatterCreate(CFAllocatorRef allocator, CFLocaleRef locale,
                                                   CFDateFormatterStyle dateStyle,
                                                   CFDateFormatterStyle timeStyle);
CF_EXPORT CFStringRef CFDateFormatterCreateStringWithAbsoluteTime(CFAllocatorRef allocator,
                                                                  CFDateFormatterRef formatter,
                                                                  CFAbsoluteTime at);
