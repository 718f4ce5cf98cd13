#include "URL/ErrorReport.h"

#include <CFPlatform/String.h>

namespace CFPlatform {

void reportError(CFErrorRef* error, CFErrorDomain domain, CFIndex code, const char* description)
{
    if (!error) {
        return;
    }
    CFStringRef text = createStringFromUTF8(description);
    const void* keys[] = {kCFErrorDescriptionKey};
    const void* values[] = {text};
    CFDictionaryRef userInfo =
        CFDictionaryCreate(nullptr, keys, values, text ? 1 : 0, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    *error = CFErrorCreate(nullptr, domain, code, userInfo);
    CFRelease(userInfo);
    if (text) {
        CFRelease(text);
    }
}

} // namespace CFPlatform
