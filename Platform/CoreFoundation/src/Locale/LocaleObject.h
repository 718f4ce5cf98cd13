#pragma once

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFLocale.h>

#include <string>

namespace CFPlatform {

// A locale is its ICU identifier; the formatters made for it ask ICU for its data.
class LocaleObject final : public Object
{
public:
    LocaleObject(std::string identifier, CFStringRef identifierString)
        : fIdentifier(std::move(identifier)), fIdentifierString(identifierString)
    {}
    ~LocaleObject() override { CFRelease(fIdentifierString); }

    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        return fIdentifier == static_cast<const LocaleObject&>(other).fIdentifier;
    }
    CFHashCode hash() const override { return std::hash<std::string>()(fIdentifier); }

    const std::string& identifier() const { return fIdentifier; }
    CFStringRef identifierString() const { return fIdentifierString; }

private:
    std::string fIdentifier;
    CFStringRef fIdentifierString;
};

const LocaleObject& localeOf(CFLocaleRef locale, const char* call);

} // namespace CFPlatform
