#pragma once

#include "ClassAliases.h"

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace IOKit {

// A matching dictionary, read once: the provider class and the properties an entry must have.
class MatchingCriteria
{
public:
    explicit MatchingCriteria(CFDictionaryRef matching);
    ~MatchingCriteria();
    MatchingCriteria(const MatchingCriteria&) = delete;
    MatchingCriteria& operator=(const MatchingCriteria&) = delete;

    bool matches(const std::vector<std::string>& classChain, CFDictionaryRef properties,
                 const ClassAliases& aliases) const;

private:
    std::optional<std::string> fProviderClass;
    // A key or class that is not a string matches nothing.
    bool fMalformed = false;
    // Retained keys and values.
    std::vector<std::pair<CFStringRef, CFTypeRef>> fProperties;
};

} // namespace IOKit
