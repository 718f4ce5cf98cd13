#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFURL.h>

// Bundles: a folder "<name>/Contents/" with Info.plist, MacOS/ (the executable) and Resources/.
// An executable outside any bundle has its own folder as its main bundle, without an Info.plist,
// and with its resources looked up in that folder.

typedef struct __CFBundle* CFBundleRef;

CF_EXPORT const CFStringRef kCFBundleIdentifierKey;

CF_EXPORT CFTypeID CFBundleGetTypeID(void);

// The bundle whose Contents/MacOS/ holds the running executable, else the executable's folder.
CF_EXPORT CFBundleRef CFBundleGetMainBundle(void);
// The bundle at a folder URL; NULL when the URL names no folder. One folder gives one bundle, which
// stays known to CFBundleGetBundleWithIdentifier for the life of the process.
CF_EXPORT CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
// Among the main bundle, the bundles made with CFBundleCreate and those whose executable is loaded.
CF_EXPORT CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);

CF_EXPORT CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
// Contents/Info.plist; empty when the bundle has none or it cannot be read.
CF_EXPORT CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CF_EXPORT CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);

CF_EXPORT CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
// Relative to the bundle URL ("Contents/Resources/"); CFURLCopyAbsoluteURL gives the folder.
CF_EXPORT CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
// <Resources>/<subDirName>/<resourceName>.<resourceType> (type and folder may be NULL), or NULL when
// there is no such file.
CF_EXPORT CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                           CFStringRef resourceType, CFStringRef subDirName);
