#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>

typedef struct __CFError* CFErrorRef;
typedef CFStringRef CFErrorDomain;

CF_EXPORT const CFErrorDomain kCFErrorDomainPOSIX;
CF_EXPORT const CFErrorDomain kCFErrorDomainOSStatus;
CF_EXPORT const CFErrorDomain kCFErrorDomainCocoa;

// The user-info key of a readable description of the error.
CF_EXPORT const CFStringRef kCFErrorDescriptionKey;

CF_EXPORT CFTypeID CFErrorGetTypeID(void);
// `userInfo` may be NULL; it is copied.
CF_EXPORT CFErrorRef CFErrorCreate(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                                   CFDictionaryRef userInfo);
CF_EXPORT CFErrorDomain CFErrorGetDomain(CFErrorRef err);
CF_EXPORT CFIndex CFErrorGetCode(CFErrorRef err);
// Never NULL: an empty dictionary when the error was created without one.
CF_EXPORT CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err);
// The user info's kCFErrorDescriptionKey, or a text made of the domain and the code.
CF_EXPORT CFStringRef CFErrorCopyDescription(CFErrorRef err);
