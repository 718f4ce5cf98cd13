#pragma once

#include <CoreFoundation/CFBase.h>

typedef const struct __CFLocale* CFLocaleRef;

CF_EXPORT CFTypeID CFLocaleGetTypeID(void);
// An ICU locale of that identifier, such as "en_US".
CF_EXPORT CFLocaleRef CFLocaleCreate(CFAllocatorRef allocator, CFStringRef localeIdentifier);
CF_EXPORT CFStringRef CFLocaleGetIdentifier(CFLocaleRef locale);
