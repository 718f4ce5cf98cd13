#include "MatchingCriteria.h"

#include "DictionaryEntries.h"

#include <IOKit/IOKitLib.h>

namespace IOKit {

namespace {

std::optional<std::string> textOf(CFTypeRef value)
{
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
        return std::nullopt;
    }
    auto string = static_cast<CFStringRef>(value);
    CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string text(static_cast<size_t>(capacity), '\0');
    if (!CFStringGetCString(string, text.data(), capacity, kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    text.resize(text.find('\0'));
    return text;
}

} // namespace

MatchingCriteria::MatchingCriteria(CFDictionaryRef matching)
{
    forEachEntry(matching, [this](CFTypeRef key, CFTypeRef value) {
        if (CFGetTypeID(key) != CFStringGetTypeID()) {
            fMalformed = true;
        } else if (CFEqual(key, CFSTR(kIOProviderClassKey))) {
            fProviderClass = textOf(value);
            fMalformed = fMalformed || !fProviderClass;
        } else {
            fProperties.emplace_back(static_cast<CFStringRef>(CFRetain(key)), CFRetain(value));
        }
    });
}

MatchingCriteria::~MatchingCriteria()
{
    for (auto& [key, value] : fProperties) {
        CFRelease(key);
        CFRelease(value);
    }
}

bool MatchingCriteria::matches(const std::vector<std::string>& classChain, CFDictionaryRef properties,
                               const ClassAliases& aliases) const
{
    if (fMalformed || (fProviderClass && !aliases.conforms(classChain, *fProviderClass))) {
        return false;
    }
    for (const auto& [key, value] : fProperties) {
        CFTypeRef present = CFDictionaryGetValue(properties, key);
        if (present == nullptr || !CFEqual(present, value)) {
            return false;
        }
    }
    return true;
}

} // namespace IOKit
