#pragma once

#include <CoreFoundation/CoreFoundation.h>

// A source of bytes for images and documents. A provider is a CoreFoundation object: CFRetain and
// CFRelease work on it.

typedef struct CGDataProvider* CGDataProviderRef;

// A provider of the file at a file URL; NULL for a NULL URL. The file is read when its data is
// asked for.
CF_EXPORT CGDataProviderRef CGDataProviderCreateWithURL(CFURLRef url);
// The whole file as it is now; NULL when it cannot be read (missing, a folder, no permission).
CF_EXPORT CFDataRef CGDataProviderCopyData(CGDataProviderRef provider);
// Releases the provider; NULL is allowed.
CF_EXPORT void CGDataProviderRelease(CGDataProviderRef provider);
