#pragma once

#include <CoreFoundation/CFBase.h>

typedef double CFTimeInterval;
// Seconds since 2001-01-01 00:00 UTC.
typedef CFTimeInterval CFAbsoluteTime;

typedef const struct __CFDate* CFDateRef;

#define kCFAbsoluteTimeIntervalSince1970 978307200.0

// The process clock's absolute time, so a manual clock in tests moves it.
CF_EXPORT CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);

CF_EXPORT CFTypeID CFDateGetTypeID(void);
CF_EXPORT CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CF_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);
