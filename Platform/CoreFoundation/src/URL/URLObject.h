#pragma once

// The CFURL object: its validated string split into components, and its base URL.

#include "URL/UriReference.h"

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFURL.h>

#include <string>

namespace CFPlatform {

class URLObject final : public Object
{
public:
    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;

    // A new URL for parts that came from parseUriReference or were built from valid parts; the
    // base is dropped when the parts have a scheme. NULL when `parts` has no string form.
    static CFURLRef create(UriReference parts, CFURLRef base);

    const UriReference& parts() const { return fParts; }
    const std::string& text() const { return fText; }
    CFStringRef string() const { return fString; }
    CFURLRef base() const { return fBase; }
    // The parts of the URL resolved against its base.
    UriReference absoluteParts() const;

    CFURLRef ref() const { return reinterpret_cast<CFURLRef>(static_cast<const Object*>(this)); }

private:
    URLObject(UriReference parts, std::string text, CFStringRef string, CFURLRef base);
    ~URLObject() override;

    UriReference fParts;
    std::string fText;
    CFStringRef fString;
    CFURLRef fBase;
};

// The URL behind a reference; ends the process with a message naming `call` when it is NULL or
// not a URL.
const URLObject& urlOf(CFURLRef url, const char* call);

} // namespace CFPlatform
