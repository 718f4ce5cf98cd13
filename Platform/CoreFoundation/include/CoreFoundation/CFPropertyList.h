#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFError.h>

// Property lists in the XML format: dictionaries (string keys), arrays, strings, integers (64-bit),
// reals, booleans, data and dates.
//
// The writer escapes XML specials, writes reals with round-trip precision, dates in whole seconds
// (UTC) and dictionary keys in code-point order, so a file is stable between writes. It refuses a
// string holding a character XML cannot carry (most control characters).
//
// The reader accepts at most 16 MiB and 128 levels of nesting, never loads an external entity or
// anything from the network, refuses a document that declares entities, and answers NULL with an
// error (kCFErrorDomainCocoa, kCFPropertyListReadCorruptError) for anything malformed: bad
// nesting, an integer outside 64 bits, bad Base64, an impossible date, a duplicate key.

typedef CFIndex CFPropertyListFormat;
enum : CFPropertyListFormat
{
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum : CFPropertyListMutabilityOptions
{
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2
};

enum : CFIndex
{
    kCFPropertyListReadCorruptError = 3840,
    kCFPropertyListWriteStreamError = 3851
};

// Only the XML format is read; `format` (may be NULL) receives kCFPropertyListXMLFormat_v1_0.
CF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                                         CFOptionFlags options, CFPropertyListFormat* format,
                                                         CFErrorRef* error);
// Only kCFPropertyListXMLFormat_v1_0 is written; NULL with an error for anything else, for a value
// that is not a property list, or for one the format cannot carry.
CF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                             CFPropertyListFormat format, CFOptionFlags options,
                                             CFErrorRef* error);
// A copy sharing nothing mutable with the original; NULL when it is not a property list.
CF_EXPORT CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator,
                                                         CFPropertyListRef propertyList,
                                                         CFOptionFlags mutabilityOption);
